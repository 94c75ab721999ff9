// veltrane-sign: makes the operators' Ed25519 key, signs update files and checks their
// signatures. See --help for the commands and exit codes.
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/update_signature.h"
#include "tools/veltrane_sign/signing_key.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr char kDescription[] =
    "Signs Veltrane update files with an Ed25519 key and checks their signatures (the "
    "\"signature\" member of an update list entry; the public key goes into Update.ini, "
    "section UPDATE, key UPDATE_KEYS).";

constexpr char kFooter[] =
    "Exit codes:\n"
    "  0  done; for verify: the signature holds\n"
    "  1  failure; for verify: the signature does not hold or the file cannot be read\n"
    "  2  usage error (bad command or argument)";

int Report(int code, const std::string& text) {
  std::cerr << "veltrane-sign: " << text << "\n";
  return code;
}

int Keygen(const std::string& key_path) {
  veltrane_sign::CSigningKey key;
  std::string error;
  if (!key.Generate(&error) || !key.SaveNew(key_path, &error)) {
    return Report(kExitFailure, error);
  }
  std::cout << key.PublicKeyBase64() << "\n";
  return kExitOk;
}

int Sign(const std::string& key_path, const std::string& file, const std::string& name,
         const std::string& version) {
  veltrane_sign::CSigningKey key;
  std::string error;
  std::string signature;
  if (!key.Load(key_path, &error) || !key.SignFile(file, name, version, &signature, &error)) {
    return Report(kExitFailure, error);
  }
  std::cout << signature << "\n";
  return kExitOk;
}

int Verify(const std::string& public_key, const std::string& file, const std::string& name,
           const std::string& version, const std::string& signature) {
  std::vector<std::string> rejected;
  const CUpdateKeys keys = CUpdateKeys::Parse(public_key, &rejected);
  if (keys.size() != 1 || !rejected.empty()) {
    return Report(kExitUsage,
                  "PUBLIC_KEY is not one Base64 Ed25519 public key of 32 bytes (see --help)");
  }
  std::string error;
  if (!VerifyUpdateFile(keys, file, name, version, signature, &error)) {
    return Report(kExitFailure, error);
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(kDescription, "veltrane-sign");
  app.footer(kFooter);
  app.require_subcommand(1);

  std::string key_path, file, name, version, public_key, signature;

  CLI::App* keygen = app.add_subcommand(
      "keygen",
      "make a new private key in PRIVATE_KEY_FILE (PEM, mode 0600, never overwritten) and print "
      "its public key");
  keygen->add_option("PRIVATE_KEY_FILE", key_path, "the key file to create")->required();

  CLI::App* sign = app.add_subcommand("sign", "print the signature of FILE listed as NAME VERSION");
  sign->add_option("PRIVATE_KEY_FILE", key_path, "the PEM private key")->required();
  sign->add_option("FILE", file, "the update file")->required();
  sign->add_option("NAME", name, "its file_name in the update list")->required();
  sign->add_option("VERSION", version, "its file_version in the update list")->required();

  CLI::App* verify = app.add_subcommand("verify", "check SIGNATURE of FILE listed as NAME VERSION");
  verify->add_option("PUBLIC_KEY", public_key, "Base64 public key as keygen prints it")->required();
  verify->add_option("FILE", file, "the update file")->required();
  verify->add_option("NAME", name, "its file_name in the update list")->required();
  verify->add_option("VERSION", version, "its file_version in the update list")->required();
  verify->add_option("SIGNATURE", signature, "the Base64 signature")->required();

  const int parsed = command_line::Parse(app, argc, argv, std::cout, std::cerr);
  if (parsed >= 0) return parsed;

  if (keygen->parsed()) return Keygen(key_path);
  if (sign->parsed()) return Sign(key_path, file, name, version);
  return Verify(public_key, file, name, version, signature);
}
