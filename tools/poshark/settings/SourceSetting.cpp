#include "settings/SourceSetting.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "base/Usage.h"

namespace poshark::tool {

namespace {

bool ParseFrame(const std::string& text, SourceSetting& setting) {
  // DATA PARITY STOP: "8N1", "7E1", "8N1.5", "8N2".
  if (text.size() < 3 || text[0] < '5' || text[0] > '8') return false;
  static const char kParity[] = "NOEMS";
  const char* p = std::strchr(kParity, std::toupper(static_cast<unsigned char>(text[1])));
  if (p == nullptr || text[1] == '\0') return false;
  std::string stop = text.substr(2);
  int code = stop == "1" ? 0 : stop == "1.5" ? 1 : stop == "2" ? 2 : -1;
  if (code < 0) return false;
  setting.data_bits = text[0] - '0';
  setting.parity_code = static_cast<int>(p - kParity);
  setting.stop_bits_code = code;
  return true;
}

bool ParseSerial(const std::string& rest, SourceSetting& setting, std::string& expected) {
  expected =
      "serial:N[,BAUD[,FRAME]] with N from 1 to 255, BAUD from 50 to 4000000 and a frame "
      "such as 8N1";
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t comma; (comma = rest.find(',', start)) != std::string::npos; start = comma + 1) {
    parts.push_back(rest.substr(start, comma - start));
  }
  parts.push_back(rest.substr(start));
  long n = 0;
  if (parts.size() > 3 || !ParseNumberIn(parts[0], 1, 255, n)) return false;
  setting.com_port = static_cast<int>(n);
  if (parts.size() >= 2) {
    if (!ParseNumberIn(parts[1], 50, 4000000, n)) return false;
    setting.baud = static_cast<int>(n);
  }
  return parts.size() < 3 || ParseFrame(parts[2], setting);
}

bool ParseTap(const std::string& rest, SourceSetting& setting, std::string& expected) {
  size_t eq = rest.find('=');
  std::string unused;
  if (eq == std::string::npos) {
    expected = "tap:[HOST:]PORT=PRINTER_HOST:PRINTER_PORT";
    return false;
  }
  if (!ParseHostPort(rest.substr(0, eq), false, setting.host, setting.port, expected)) return false;
  if (!ParseHostPort(rest.substr(eq + 1), true, setting.printer_host, setting.printer_port,
                     expected) ||
      setting.printer_port == 0) {
    expected = "tap:[HOST:]PORT=PRINTER_HOST:PRINTER_PORT with a printer port from 1 to 65535";
    return false;
  }
  return true;
}

bool ParseAddress(const std::string& text, Network& net) {
  in6_addr a6{};
  if (inet_pton(AF_INET, text.c_str(), net.bytes) == 1) {
    net.family = AF_INET;
    net.prefix = 32;
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), &a6) == 1) {
    net.family = AF_INET6;
    std::memcpy(net.bytes, &a6, 16);
    net.prefix = 128;
    return true;
  }
  return false;
}

bool PrefixMatches(const unsigned char* a, const unsigned char* b, int bits) {
  int whole = bits / 8;
  if (std::memcmp(a, b, static_cast<size_t>(whole)) != 0) return false;
  int rest = bits % 8;
  if (rest == 0) return true;
  unsigned mask = (0xFFu << (8 - rest)) & 0xFFu;
  return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool ParseHostPort(const std::string& text, bool host_required, std::string& host, int& port,
                   std::string& expected) {
  expected = host_required ? "HOST:PORT with a port from 0 to 65535"
                           : "[HOST:]PORT with a port from 0 to 65535";
  size_t colon = text.rfind(':');
  if (colon == std::string::npos && host_required) return false;
  std::string port_text = colon == std::string::npos ? text : text.substr(colon + 1);
  long n = 0;
  if (!ParseNumberIn(port_text, 0, 65535, n)) return false;
  if (colon != std::string::npos) {
    std::string h = text.substr(0, colon);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    if (h.empty()) return false;
    host = h;
  }
  port = static_cast<int>(n);
  return true;
}

bool ParseSource(const std::string& text, SourceSetting& setting, std::string& expected) {
  expected =
      "serial:N[,BAUD[,8N1]], tcp:[HOST:]PORT, tap:[HOST:]PORT=PRINTER_HOST:PRINTER_PORT "
      "or feed:FILE";
  size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  std::string kind = text.substr(0, colon);
  std::string rest = text.substr(colon + 1);
  SourceSetting s;
  bool ok = false;
  if (kind == "serial") {
    s.kind = SourceKind::kSerial;
    ok = ParseSerial(rest, s, expected);
  } else if (kind == "tcp") {
    s.kind = SourceKind::kTcp;
    ok = ParseHostPort(rest, false, s.host, s.port, expected);
    if (!ok) expected = "tcp:[HOST:]PORT with a port from 0 to 65535";
  } else if (kind == "tap") {
    s.kind = SourceKind::kTap;
    ok = ParseTap(rest, s, expected);
  } else if (kind == "feed") {
    s.kind = SourceKind::kFeed;
    s.feed_path = rest;
    ok = !rest.empty();
    expected = "feed:FILE with a file name";
  }
  if (ok) setting = s;
  return ok;
}

std::string DescribeSource(const SourceSetting& setting) {
  std::string where =
      setting.host.find(':') != std::string::npos ? "[" + setting.host + "]" : setting.host;
  where += ":" + std::to_string(setting.port);
  switch (setting.kind) {
    case SourceKind::kSerial:
      return "COM" + std::to_string(setting.com_port);
    case SourceKind::kTcp:
      return "tcp " + where;
    case SourceKind::kTap:
      return "tap " + where + " to " + setting.printer_host + ":" +
             std::to_string(setting.printer_port);
    case SourceKind::kFeed:
      return "feed " + setting.feed_path;
    default:
      return "no source";
  }
}

bool ParseAllowList(const std::string& text, std::vector<Network>& list, std::string& expected) {
  expected = "addresses or networks (such as 192.168.1.0/24), separated by commas, or any";
  list.clear();
  std::string item;
  auto flush = [&]() -> bool {
    if (item.empty()) return true;
    std::string addr = item;
    long prefix = -1;
    size_t slash = item.find('/');
    if (slash != std::string::npos) {
      addr = item.substr(0, slash);
      if (!ParseNumberIn(item.substr(slash + 1), 0, 128, prefix)) return false;
    }
    Network net;
    if (!ParseAddress(addr, net)) return false;
    if (prefix >= 0) {
      if (prefix > net.prefix) return false;
      net.prefix = static_cast<int>(prefix);
    }
    list.push_back(net);
    item.clear();
    return true;
  };
  std::string trimmed(Trim(text));
  if (trimmed == "any" || trimmed.empty()) return true;
  for (char c : trimmed) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!flush()) return false;
    } else {
      item += c;
    }
  }
  return flush();
}

bool Allowed(const std::vector<Network>& list, const sockaddr_storage& peer) {
  if (list.empty()) return true;
  unsigned char bytes[16] = {};
  int family = peer.ss_family;
  if (family == AF_INET) {
    std::memcpy(bytes, &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr, 4);
  } else if (family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&peer);
    std::memcpy(bytes, &in6->sin6_addr, 16);
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {  // an IPv4 peer on a dual-stack socket
      family = AF_INET;
      std::memmove(bytes, bytes + 12, 4);
    }
  } else {
    return false;
  }
  return std::any_of(list.begin(), list.end(), [&](const Network& n) {
    return n.family == family && PrefixMatches(n.bytes, bytes, n.prefix);
  });
}

std::string DescribeAddress(const sockaddr_storage& addr) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (addr.ss_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
  }
  if (addr.ss_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    return std::string("[") + host + "]:" + std::to_string(ntohs(in6->sin6_port));
  }
  return "?";
}

}  // namespace poshark::tool
