// Where a channel's bytes come from, as `listen` options or a `source` value
// of the service configuration give it, and which peers may connect.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace poshark::tool {

enum class SourceKind { kNone, kSerial, kTcp, kTap, kFeed };

struct SourceSetting {
  SourceKind kind = SourceKind::kNone;
  // serial
  int com_port = 0;
  int baud = 9600;
  int data_bits = 8;
  int stop_bits_code = 0;  // 0 one, 1 one and a half, 2 two
  int parity_code = 0;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
  // tcp and tap: where poshark listens
  std::string host = "0.0.0.0";
  int port = 9100;
  // tap: the real printer
  std::string printer_host;
  int printer_port = 0;
  // feed
  std::string feed_path;
  bool force_trace = false;
  uint32_t pace_baud = 115200;  // 0: as fast as the listener takes them

  bool operator==(const SourceSetting&) const = default;
};

// Parses `serial:N[,BAUD[,8N1]]`, `tcp:[HOST:]PORT`,
// `tap:[HOST:]PORT=PRINTER_HOST:PRINTER_PORT` or `feed:FILE`. On failure
// answers false with `expected` saying what was expected.
bool ParseSource(const std::string& text, SourceSetting& setting, std::string& expected);

// `[HOST:]PORT` (HOST may be `[v6]`); the host is left as it was when none
// is given. False with `expected` set on failure.
bool ParseHostPort(const std::string& text, bool host_required, std::string& host, int& port,
                   std::string& expected);

// The source as configured, for messages: "COM3", "tcp 0.0.0.0:9100", ...
std::string DescribeSource(const SourceSetting& setting);

// An address or network that may connect (IPv4 or IPv6, with a prefix
// length for a network).
struct Network {
  int family = AF_INET;
  unsigned char bytes[16] = {};
  int prefix = 32;
  bool operator==(const Network&) const = default;
};

// A comma- or space-separated list of addresses and CIDR networks; an empty
// list (or "any") allows every peer.
bool ParseAllowList(const std::string& text, std::vector<Network>& list, std::string& expected);
bool Allowed(const std::vector<Network>& list, const sockaddr_storage& peer);

// "1.2.3.4:5" or "[::1]:5".
std::string DescribeAddress(const sockaddr_storage& addr);

}  // namespace poshark::tool
