// The OCS port's settings: "Veltrane.ini" in the program folder, section "NETWORK".
//   LISTEN=10.1.2.3                   the IPv4 address the port listens on (default: every
//                                     interface, 0.0.0.0)
//   ALLOW=10.1.2.3, 192.168.0.0/24    the clients that may connect: addresses or CIDR
//                                     ranges, separated by commas (default: any client)
// A value that is present must be valid: a bad one is an error, never a default.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CNetworkSettings {
 public:
  static constexpr char kFileName[] = "Veltrane.ini";
  static constexpr char kSection[] = "NETWORK";
  static constexpr char kListenKey[] = "LISTEN";
  static constexpr char kAllowKey[] = "ALLOW";

  // An address range: the addresses whose first `prefix` bits equal `network`'s.
  struct Range {
    std::uint32_t network;  // host byte order, the bits past the prefix cleared
    unsigned int prefix;    // 0 to 32
  };

  // Every interface, any client.
  CNetworkSettings() = default;

  // Host byte order; 0 is every interface.
  std::uint32_t listen_address() const { return listen_; }
  bool allows_any() const { return !restricted_; }
  const std::vector<Range>& allowed() const { return allowed_; }

  // Whether a client at `address` (host byte order) may connect.
  bool Allows(std::uint32_t address) const;
  // The same for dotted text; false for text that is no IPv4 address.
  bool Allows(const char* dotted) const;

  // Takes a LISTEN or ALLOW value as the file holds it. false with the reason in `error`
  // (Korean, naming the value), the settings unchanged.
  bool SetListen(const std::string& value, std::string& error);
  bool SetAllow(const std::string& value, std::string& error);

 private:
  std::uint32_t listen_ = 0;
  bool restricted_ = false;
  std::vector<Range> allowed_;
};

// Dotted-decimal IPv4 text, four decimal parts of 0 to 255 without leading zeros, into
// host byte order. false for anything else.
bool ParseIpv4(const std::string& text, std::uint32_t& address);

// Reads `path` ("Veltrane.ini"). A missing file or key leaves the default. false with a
// one-line reason in `error` (naming the file, the section, the key and the value) when a
// value is bad, or when the file cannot be read: not a regular file, larger than the
// profile size limit, or unreadable.
bool LoadNetworkSettings(const std::string& path, CNetworkSettings& settings, std::string& error);
