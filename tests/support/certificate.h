// A self-signed certificate for 127.0.0.1, made with openssl for tests of TLS refusals and trust.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace tw::test {

struct TestCertificate {
    std::string cert, key;  // PEM files
};

// Writes cert.pem and key.pem into `folder`; false when openssl cannot make them (the caller skips).
inline bool makeSelfSignedCertificate(const std::filesystem::path& folder, TestCertificate& out) {
    out.cert = (folder / "cert.pem").string();
    out.key = (folder / "key.pem").string();
    std::string cmd =
        "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 "
        "-days 2 -keyout " +
        out.key + " -out " + out.cert + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

}  // namespace tw::test
