// The sources of a channel's bytes. Each runs on threads of its own and
// hands what it reads to Channel::Give; Stop ends those threads.
#pragma once

#include <memory>
#include <string>

#include "ChannelSettings.h"

namespace poshark::tool {

class Channel;

class Source {
 public:
  virtual ~Source() = default;
  // Opens what can fail (file, socket, port) and starts the source's
  // threads. False with a message naming the file, address or port.
  virtual bool Start(std::string& error) = 0;
  // Ends the threads; bytes already given stay with the listener.
  virtual void Stop() = 0;
  virtual std::string Where() const = 0;
  // The input is exhausted (feed only).
  virtual bool Done() const { return false; }
  virtual std::string Error() const { return ""; }
};

std::unique_ptr<Source> MakeFeedSource(Channel& channel);
std::unique_ptr<Source> MakeNetSource(Channel& channel);  // tcp and tap
std::unique_ptr<Source> MakeSerialSource(Channel& channel);

}  // namespace poshark::tool
