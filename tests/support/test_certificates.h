// A throwaway certificate authority and server certificates for 127.0.0.1, made with the
// openssl command.
#pragma once

#include <cstdlib>
#include <string>

#include "support/scratch_dir.h"

// A CA and three server certificates for 127.0.0.1: one the CA signed, one self-signed,
// and one the CA signed for another host name only. Made once per test program.
class TestCertificates {
 public:
  static const TestCertificates& Get() {
    static TestCertificates made;
    return made;
  }

  bool ok() const { return ok_; }
  std::string ca() const { return dir_.file("ca.pem"); }
  std::string server_cert() const { return dir_.file("server.pem"); }
  std::string server_key() const { return dir_.file("server.key"); }
  std::string self_cert() const { return dir_.file("self.pem"); }
  std::string self_key() const { return dir_.file("self.key"); }
  std::string other_host_cert() const { return dir_.file("other.pem"); }
  std::string other_host_key() const { return dir_.file("other.key"); }

 private:
  TestCertificates() {
    const std::string d = "'" + dir_.path() + "'";
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2";
    const std::string quiet = " >/dev/null 2>&1";
    const std::string commands[] = {
        "openssl req -x509" + ec + " -keyout " + d + "/ca.key -out " + d +
            "/ca.pem -subj '/CN=Zerv Test CA' -addext 'basicConstraints=critical,CA:TRUE'"
            " -addext 'keyUsage=critical,keyCertSign,cRLSign'",
        Signed(d, ec, "server", "127.0.0.1", "IP:127.0.0.1,DNS:localhost"),
        Signed(d, ec, "other", "portal.invalid", "DNS:portal.invalid"),
        "openssl req -x509" + ec + " -keyout " + d + "/self.key -out " + d +
            "/self.pem -subj '/CN=127.0.0.1' -addext 'subjectAltName=IP:127.0.0.1'",
    };
    ok_ = !dir_.path().empty();
    for (const std::string& command : commands) {
      ok_ = ok_ && std::system(("(" + command + ")" + quiet).c_str()) == 0;
    }
  }

  static std::string Signed(const std::string& d, const std::string& ec, const std::string& name,
                            const std::string& cn, const std::string& san) {
    const std::string base = d + "/" + name;
    return "printf 'subjectAltName=" + san + "\\n' > " + base + ".ext && openssl req" + ec +
           " -keyout " + base + ".key -out " + base + ".csr -subj '/CN=" + cn +
           "' && openssl x509 -req -in " + base + ".csr -CA " + d + "/ca.pem -CAkey " + d +
           "/ca.key -CAcreateserial -days 2 -out " + base + ".pem -extfile " + base + ".ext";
  }

  ScratchDir dir_;
  bool ok_ = false;
};
