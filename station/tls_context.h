// The station's TLS: a certificate chain and its private key, both PEM, read and checked once
// at start, and the OpenSSL context every connection's session is made from (TLS 1.2 and 1.3
// only).  A key that others than its owner may read, a certificate that does not belong to
// the key, or one outside its validity dates are refused with the reason, so that a bench
// never serves with a key that leaked or a certificate browsers would refuse anyway.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

class CTlsContext {
public:
    // Reads and checks the files and makes the context; false with the reason when a file
    // can't be used.
    bool Load(const std::string& certificateFile, const std::string& keyFile, std::string* error);

    // The context; null until Load succeeded.
    SSL_CTX* Get() const { return m_context.get(); }

private:
    struct FreeContext {
        void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
    };
    std::unique_ptr<SSL_CTX, FreeContext> m_context;
};
