#include "output/LineRecord.h"

namespace poshark::tool {

using namespace std::string_view_literals;

std::optional<std::string_view> NamedEvent(int event) {
  switch (event) {
    case -1:
      return ""sv;
    case 0:
      return "START"sv;
    case 1:
      return "STOP"sv;
    case 2:
      return "VOID"sv;
    case -2:
      return "OVERFLOW"sv;
    default:
      return std::nullopt;
  }
}

std::string EventName(int event) {
  if (auto name = NamedEvent(event)) return std::string(*name);
  return "EVENT" + std::to_string(event);
}

}  // namespace poshark::tool
