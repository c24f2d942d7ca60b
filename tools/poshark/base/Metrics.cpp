#include "base/Metrics.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace poshark::tool {

namespace {

// Integers up to 2^53 print exactly, without an exponent.
constexpr double kLargestExactInteger = 9007199254740992.0;

bool IsMetricName(std::string_view name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == ':';
    if (!ok) return false;
  }
  return true;
}

void AppendEscaped(std::string& out, std::string_view value) {
  for (char c : value) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
}

void AppendValue(std::string& out, double value) {
  char text[32];
  if (std::isnan(value)) {
    out += "NaN";
  } else if (std::isinf(value)) {
    out += value > 0 ? "+Inf" : "-Inf";
  } else if (value == std::floor(value) && std::fabs(value) <= kLargestExactInteger) {
    std::snprintf(text, sizeof text, "%.0f", value);
    out += text;
  } else {
    std::snprintf(text, sizeof text, "%.15g", value);
    out += text;
  }
}

}  // namespace

void MetricSamples::Add(Labels labels, double value) {
  out_ += name_;
  if (labels.size() > 0) {
    out_ += '{';
    bool first = true;
    for (const auto& [key, text] : labels) {
      if (!first) out_ += ',';
      first = false;
      out_ += key;
      out_ += "=\"";
      AppendEscaped(out_, text);
      out_ += '"';
    }
    out_ += '}';
  }
  out_ += ' ';
  AppendValue(out_, value);
  out_ += '\n';
}

MetricRegistration::~MetricRegistration() {
  if (registry_ != nullptr) registry_->Remove(id_);
}

MetricRegistration::MetricRegistration(MetricRegistration&& other) noexcept
    : registry_(std::exchange(other.registry_, nullptr)), id_(other.id_) {}

MetricRegistration& MetricRegistration::operator=(MetricRegistration&& other) noexcept {
  if (this != &other) {
    if (registry_ != nullptr) registry_->Remove(id_);
    registry_ = std::exchange(other.registry_, nullptr);
    id_ = other.id_;
  }
  return *this;
}

MetricRegistration MetricsRegistry::Add(MetricFamily family, Collector collect) {
  if (!IsMetricName(family.name)) throw std::invalid_argument("not a metric name: " + family.name);
  std::lock_guard lock(mutex_);
  if (by_name_.count(family.name) != 0)
    throw std::invalid_argument("metric family added twice: " + family.name);
  const uint64_t id = next_id_++;
  by_name_[family.name] = id;
  entries_[id] = Entry{std::move(family), std::move(collect)};
  return MetricRegistration(this, id);
}

void MetricsRegistry::Remove(uint64_t id) {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(id);
  if (it == entries_.end()) return;
  by_name_.erase(it->second.family.name);
  entries_.erase(it);
}

std::string MetricsRegistry::Render() const {
  std::string out;
  std::lock_guard lock(mutex_);
  for (const auto& [name, id] : by_name_) {
    const Entry& e = entries_.at(id);
    out += "# HELP " + name + " " + e.family.help + "\n";
    out += "# TYPE " + name + (e.family.type == MetricType::kCounter ? " counter\n" : " gauge\n");
    MetricSamples samples(out, name);
    e.collect(samples);
  }
  return out;
}

}  // namespace poshark::tool
