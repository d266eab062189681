// The TLS context.  The key file's mode is read from the file that is then parsed (one open),
// so a file swapped in between can't slip past the check.  Keys are parsed from memory with a
// passphrase callback that gives none: an encrypted key is refused instead of the station
// asking a terminal it may not have.
#include "station/tls_context.h"

#include "framework/regular_file.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <vector>

namespace {

struct FreeBio {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct FreeCertificate {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using Bio = std::unique_ptr<BIO, FreeBio>;
using Key = std::unique_ptr<EVP_PKEY, FreeKey>;
using Certificate = std::unique_ptr<X509, FreeCertificate>;

int NoPassphrase(char*, int, int, void*) {
    return 0;
}

// OpenSSL's reason for the last failure, or `otherwise` when it gave none.
std::string OpenSslReason(const char* otherwise) {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) {
        return otherwise;
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// The file's bytes and its mode; false when it is no regular file or can't be read.
bool ReadWithMode(const std::string& path, std::string* content, mode_t* mode) {
    std::unique_ptr<std::FILE, CloseFile> file(OpenRegularFileToRead(path.c_str()));
    struct stat info {};
    if (file == nullptr || fstat(fileno(file.get()), &info) != 0) {
        return false;
    }
    *mode = info.st_mode;
    content->clear();
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        content->append(chunk, got);
    }
    return std::ferror(file.get()) == 0;
}

std::string TimeText(const ASN1_TIME* time) {
    struct tm fields {};
    char text[64] = "an unreadable date";
    if (ASN1_TIME_to_tm(time, &fields) == 1) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &fields);
    }
    return text;
}

// Every certificate of a PEM file, the server's own first; false with the reason.
bool ReadCertificates(const std::string& path, std::vector<Certificate>* chain,
                      std::string* error) {
    std::string content;
    mode_t mode = 0;
    if (!ReadWithMode(path, &content, &mode)) {
        *error = "can't read the TLS certificate file " + path + " (a regular file)";
        return false;
    }
    Bio bio(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    ERR_clear_error();
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, NoPassphrase, nullptr)) {
        chain->emplace_back(certificate);
    }
    // The loop ends at the end of the file ("no start line") or at something that is not a
    // certificate.
    const unsigned long last = ERR_peek_last_error();
    if (chain->empty() ||
        (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) != PEM_R_NO_START_LINE)) {
        *error = path + " holds no certificate in PEM form" +
                 (chain->empty() ? "" : " after its first " + std::to_string(chain->size()));
        ERR_clear_error();
        return false;
    }
    ERR_clear_error();
    for (size_t i = 0; i < chain->size(); ++i) {
        X509* certificate = (*chain)[i].get();
        const std::string which = i == 0 ? "the certificate in " + path
                                         : "certificate " + std::to_string(i + 1) + " in " + path;
        const ASN1_TIME* notBefore = X509_get0_notBefore(certificate);
        const ASN1_TIME* notAfter = X509_get0_notAfter(certificate);
        const int afterStart = X509_cmp_current_time(notBefore);
        const int beforeEnd = X509_cmp_current_time(notAfter);
        if (afterStart == 0 || beforeEnd == 0) {
            *error = which + " has validity dates that can't be read";
            return false;
        }
        if (beforeEnd < 0) {
            *error = which + " expired on " + TimeText(notAfter);
            return false;
        }
        if (afterStart > 0) {
            *error = which + " is not valid before " + TimeText(notBefore);
            return false;
        }
    }
    return true;
}

bool ReadKey(const std::string& path, Key* key, std::string* error) {
    std::string content;
    mode_t mode = 0;
    if (!ReadWithMode(path, &content, &mode)) {
        *error = "can't read the TLS key file " + path + " (a regular file)";
        return false;
    }
    if ((mode & (S_IRWXG | S_IRWXO)) != 0) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
        *error = "the TLS key file " + path + " is open to others than its owner (mode " + octal +
                 "): chmod 600 " + path;
        return false;
    }
    Bio bio(BIO_new_mem_buf(content.data(), static_cast<int>(content.size())));
    key->reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr));
    ERR_clear_error();
    if (*key == nullptr) {
        *error = path +
                 " holds no private key in PEM form (or one protected by a passphrase, "
                 "which the station can't be given)";
        return false;
    }
    return true;
}

}  // namespace

bool CTlsContext::Load(const std::string& certificateFile, const std::string& keyFile,
                       std::string* error) {
    Key key;
    std::vector<Certificate> chain;
    if (!ReadKey(keyFile, &key, error) || !ReadCertificates(certificateFile, &chain, error)) {
        return false;
    }
    if (X509_check_private_key(chain.front().get(), key.get()) != 1) {
        ERR_clear_error();
        *error = "the TLS certificate in " + certificateFile + " does not belong to the key in " +
                 keyFile;
        return false;
    }

    std::unique_ptr<SSL_CTX, FreeContext> context(SSL_CTX_new(TLS_server_method()));
    if (context == nullptr || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1) {
        *error = "can't make a TLS context: " + OpenSslReason("no reason given");
        return false;
    }
    SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                           SSL_OP_NO_COMPRESSION);
    // Sessions resume by ticket, so the server keeps no cache that a flood could fill; idle
    // connections give their buffers back; writes may stop half way and go on from a buffer
    // that has moved (the door and the workers write from the connection's output).
    SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_mode(context.get(), SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE |
                                        SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate(context.get(), chain.front().get()) != 1) {
        *error = "can't serve the TLS certificate in " + certificateFile + ": " +
                 OpenSslReason("refused");
        return false;
    }
    for (size_t i = 1; i < chain.size(); ++i) {
        if (SSL_CTX_add1_chain_cert(context.get(), chain[i].get()) != 1) {
            *error = "can't serve certificate " + std::to_string(i + 1) + " in " + certificateFile +
                     ": " + OpenSslReason("refused");
            return false;
        }
    }
    if (SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1 ||
        SSL_CTX_check_private_key(context.get()) != 1) {
        *error = "can't serve the TLS key in " + keyFile + ": " + OpenSslReason("refused");
        return false;
    }
    m_context = std::move(context);
    return true;
}
