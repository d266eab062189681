// velko-station over HTTPS: the real program with a certificate and key made here (OpenSSL),
// the API with its token and the event stream through TLS with the certificate checked, what
// TLS versions it speaks, a client that stalls its handshake, and every refusal at start.
#include "port_runs/exit_status.h"
#include "station/password_hash.h"
#include "station/station_test_support.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>

namespace {

using namespace station_test;

constexpr long kDay = 24 * 3600;
const std::string kToken = "0123456789abcdefXYZ";

struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, FreeKey>;

Key NewKey() {
    return Key(EVP_EC_gen("P-256"));
}

void WritePem(const std::string& path, mode_t mode, const std::function<int(std::FILE*)>& write) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr) << path;
    EXPECT_EQ(write(file), 1) << path;
    std::fclose(file);
    chmod(path.c_str(), mode);
}

void WriteKey(const Key& key, const std::string& path, mode_t mode = 0600) {
    WritePem(path, mode, [&](std::FILE* file) {
        return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
}

// A self-signed certificate of the key for 127.0.0.1 and localhost, valid from `from` to
// `to` seconds from now.
void WriteCertificate(const Key& key, const std::string& path, long from = -kDay,
                      long to = 30 * kDay) {
    std::unique_ptr<X509, void (*)(X509*)> certificate(X509_new(), X509_free);
    X509* x = certificate.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), from);
    X509_gmtime_adj(X509_getm_notAfter(x), to);
    X509_set_pubkey(x, key.get());
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("velko-station test"), -1, -1,
                               0);
    X509_set_issuer_name(x, name);
    X509V3_CTX context;
    X509V3_set_ctx(&context, x, x, nullptr, nullptr, 0);
    for (const auto& [nid, value] :
         {std::pair{NID_basic_constraints, "critical,CA:TRUE"},
          std::pair{NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        ASSERT_NE(extension, nullptr);
        X509_add_ext(x, extension, -1);
        X509_EXTENSION_free(extension);
    }
    ASSERT_GT(X509_sign(x, key.get(), EVP_sha256()), 0);
    WritePem(path, 0644, [&](std::FILE* file) { return PEM_write_X509(file, x); });
}

// A bench with a key and its certificate.
struct TlsBench : Bench {
    Key key = NewKey();
    std::string keyFile = dir.File("station.key");
    std::string certificateFile = dir.File("station.pem");
    TlsBench() {
        WriteKey(key, keyFile);
        WriteCertificate(key, certificateFile);
    }
    std::vector<std::string> Options(std::vector<std::string> more = {}) const {
        more.insert(more.end(), {"--tls-cert", certificateFile, "--tls-key", keyFile});
        return more;
    }
};

// The first line of what velko-station says when it refuses to start with these options.
std::string Refusal(const Bench& bench, const std::vector<std::string>& options) {
    std::vector<std::string> argv{VELKO_STATION, "--shelf",  bench.shelf,  "--db",
                                  bench.db,      "--listen", "127.0.0.1:0"};
    argv.insert(argv.end(), options.begin(), options.end());
    const ChildResult run = RunChild(argv, kStartMs);
    EXPECT_EQ(run.status, kExitUsage) << run.out << run.err;
    return run.err.substr(0, run.err.find('\n'));
}

// Whether a TLS handshake with the station succeeds when the client speaks only `version`.
bool HandshakeWith(int port, int version) {
    std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> context(SSL_CTX_new(TLS_client_method()),
                                                         SSL_CTX_free);
    SSL_CTX_set_security_level(context.get(), 0);  // the client would offer old versions
    SSL_CTX_set_min_proto_version(context.get(), version);
    SSL_CTX_set_max_proto_version(context.get(), version);
    RawClient client(port);
    std::unique_ptr<SSL, void (*)(SSL*)> tls(SSL_new(context.get()), SSL_free);
    SSL_set_fd(tls.get(), client.Fd());
    const bool done = SSL_connect(tls.get()) == 1;
    ERR_clear_error();
    return done;
}

}  // namespace

TEST(StationTls, TheApiAndTheEventStreamOverHttpsWithTheToken) {
    TlsBench bench;
    const std::string tokenFile = bench.dir.Write("token", kToken + "\n");
    Instrument instrument;
    const std::string port = bench.Link("port", instrument.sim);
    const std::string operators =
        bench.dir.Write("operators", "anna supervisor " + HashPassword("1357") + "\n");
    Station station(bench, bench.Options({"--listen", "0.0.0.0:0", "--token-file", tokenFile,
                                          "--port", port, "--operators", operators}));
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    EXPECT_TRUE(station.Tls()) << station.StartLine();
    EXPECT_EQ(station.StartLine().find("unencrypted"), std::string::npos) << station.StartLine();
    station.Trust(bench.certificateFile);
    const httplib::Headers bearer = {{"Authorization", "Bearer " + kToken}};

    // Clients that stall their handshake or send nothing hold no worker.
    std::vector<std::unique_ptr<RawClient>> stalled;
    for (int i = 0; i < 100; ++i) {
        stalled.push_back(
            std::make_unique<RawClient>(station.Port(), "127.0.0." + std::to_string(20 + i / 15)));
        stalled.back()->Send(i % 2 == 0 ? std::string("\x16\x03\x01\x02\x00\x01", 6) : "");
    }
    const Json info = station.Get("/api/station", bearer);
    EXPECT_EQ(info["tls"], true);
    EXPECT_EQ(info["loopback"], false);
    EXPECT_EQ(std::count_if(stalled.begin(), stalled.end(), [](auto& c) { return c->Open(); }),
              100);
    EXPECT_EQ(station.Client().Get("/api/ports")->status, 401);

    EventStream events(station, "?token=" + kToken);
    ASSERT_TRUE(events.WaitFor([](const std::vector<Json>& e) { return !e.empty(); }));
    EXPECT_EQ(events.Events()[0]["event"], "snapshot");
    auto [status, answer] =
        station.Post("/api/runs", {{"file", kSmall}, {"ports", {port}}}, bearer);
    ASSERT_EQ(status, 202) << answer;
    ASSERT_TRUE(events.WaitFor(ResultsReach(1)));
    const Json row = station.Get("/api/history", bearer)["runs"][0];
    EXPECT_EQ(row["result"], "done");
    EXPECT_EQ(row["id"], answer["runs"][0]["id"]);
    auto csv = station.Client().Get(("/api/history.csv?token=" + kToken).c_str());
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->status, 200);

    // An operator's session cookie over HTTPS is never sent over plain HTTP.
    auto signIn = station.Client().Post(
        "/api/session", Json{{"name", "anna"}, {"password", "1357"}}.dump(), "application/json");
    ASSERT_TRUE(signIn);
    EXPECT_EQ(signIn->status, 200) << signIn->body;
    EXPECT_NE(signIn->get_header_value("Set-Cookie").find("; Secure"), std::string::npos)
        << signIn->get_header_value("Set-Cookie");

    // A client that checks the certificate against another one does not get through.
    TlsBench stranger;
    station.Trust(stranger.certificateFile);
    auto refused = station.Client().Get("/api/station", bearer);
    EXPECT_FALSE(refused);
}

TEST(StationTls, SpeaksTls12And13Only) {
    TlsBench bench;
    Station station(bench, bench.Options());
    ASSERT_TRUE(station.Serving()) << station.Process().ErrSoFar();
    EXPECT_EQ(station.StartLine(),
              "velko-station: open https://127.0.0.1:" + std::to_string(station.Port()) + "/");
    EXPECT_TRUE(HandshakeWith(station.Port(), TLS1_3_VERSION));
    EXPECT_TRUE(HandshakeWith(station.Port(), TLS1_2_VERSION));
    EXPECT_FALSE(HandshakeWith(station.Port(), TLS1_1_VERSION));
    EXPECT_FALSE(HandshakeWith(station.Port(), TLS1_VERSION));
    // Plain HTTP on the HTTPS port gets no answer.
    RawClient plain(station.Port());
    plain.Send(RequestHead(station.Port(), "GET /api/station HTTP/1.1"));
    EXPECT_EQ(plain.ReadToEnd(kStartMs).find("HTTP/1.1 200"), std::string::npos);
}

TEST(StationTls, RefusesACertificateOrKeyItCantTrust) {
    TlsBench bench;
    const std::string& key = bench.keyFile;
    const std::string& certificate = bench.certificateFile;

    chmod(key.c_str(), 0640);
    EXPECT_EQ(Refusal(bench, bench.Options()),
              "velko-station: error: the TLS key file " + key +
                  " is open to others than its owner (mode 0640): chmod 600 " + key);
    chmod(key.c_str(), 0600);

    const std::string otherKey = bench.dir.File("other.key");
    WriteKey(NewKey(), otherKey);
    EXPECT_EQ(Refusal(bench, {"--tls-cert", certificate, "--tls-key", otherKey}),
              "velko-station: error: the TLS certificate in " + certificate +
                  " does not belong to the key in " + otherKey);

    const std::string expired = bench.dir.File("expired.pem");
    WriteCertificate(bench.key, expired, -30 * kDay, -kDay);
    const std::string expiredRefusal = Refusal(bench, {"--tls-cert", expired, "--tls-key", key});
    EXPECT_EQ(expiredRefusal.rfind(
                  "velko-station: error: the certificate in " + expired + " expired on 20", 0),
              0u)
        << expiredRefusal;
    const std::string early = bench.dir.File("early.pem");
    WriteCertificate(bench.key, early, kDay, 30 * kDay);
    const std::string earlyRefusal = Refusal(bench, {"--tls-cert", early, "--tls-key", key});
    EXPECT_EQ(
        earlyRefusal.rfind(
            "velko-station: error: the certificate in " + early + " is not valid before 20", 0),
        0u)
        << earlyRefusal;

    const std::string text = bench.dir.Write("text.pem", "not a certificate\n");
    EXPECT_EQ(Refusal(bench, {"--tls-cert", text, "--tls-key", key}),
              "velko-station: error: " + text + " holds no certificate in PEM form");
    const std::string noKey = bench.dir.Write("no.key", TempDir::Read(certificate));
    chmod(noKey.c_str(), 0600);
    EXPECT_EQ(Refusal(bench, {"--tls-cert", certificate, "--tls-key", noKey}),
              "velko-station: error: " + noKey +
                  " holds no private key in PEM form (or one protected by a passphrase, which "
                  "the station can't be given)");
    // A key behind a passphrase: refused, never asked for.
    const std::string locked = bench.dir.File("locked.key");
    WritePem(locked, 0600, [&](std::FILE* file) {
        return PEM_write_PrivateKey(file, bench.key.get(), EVP_aes_256_cbc(),
                                    reinterpret_cast<const unsigned char*>("secret"), 6, nullptr,
                                    nullptr);
    });
    EXPECT_NE(Refusal(bench, {"--tls-cert", certificate, "--tls-key", locked})
                  .find(locked + " holds no private key in PEM form (or one protected by a"),
              std::string::npos);
    EXPECT_EQ(Refusal(bench, {"--tls-cert", bench.dir.File("missing.pem"), "--tls-key", key}),
              "velko-station: error: can't read the TLS certificate file " +
                  bench.dir.File("missing.pem") + " (a regular file)");
    EXPECT_NE(Refusal(bench, {"--tls-cert", certificate}).find("--tls-key"), std::string::npos);
    EXPECT_NE(Refusal(bench, {"--tls-key", key}).find("--tls-cert"), std::string::npos);
    EXPECT_FALSE(fs::exists(bench.db)) << "refused before the history was touched";
}
