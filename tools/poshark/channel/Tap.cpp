#include "channel/Tap.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace poshark::tool {

namespace {

// One direction: bytes read from `from` wait in the buffer until `to` takes
// them. Only an empty buffer is refilled.
struct Pipe {
  int from = -1;
  int to = -1;
  std::unique_ptr<unsigned char[]> buffer{new unsigned char[kRelayBuffer]};
  size_t begin = 0;
  size_t end = 0;
  size_t got = 0;     // bytes the last read brought
  bool eof = false;   // `from` ended its output
  bool shut = false;  // the end was passed on to `to`

  bool Pending() const { return begin < end; }
  bool WantsRead() const { return !eof && !Pending(); }
  bool Finished() const { return shut; }

  // False on a reset or an error.
  bool Read() {
    got = 0;
    ssize_t n = recv(from, buffer.get(), kRelayBuffer, MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0) {
      eof = true;
      return true;
    }
    begin = 0;
    end = got = static_cast<size_t>(n);
    return true;
  }

  bool Write() {
    ssize_t n = send(to, buffer.get() + begin, end - begin, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    begin += static_cast<size_t>(n);
    return true;
  }

  // Passes a finished input on as a half-close once everything is written.
  void PassEnd() {
    if (eof && !Pending() && !shut) {
      shutdown(to, SHUT_WR);
      shut = true;
    }
  }
};

short Events(const Pipe& in, const Pipe& out) {
  short events = 0;
  if (in.WantsRead()) events |= POLLIN;
  if (out.Pending()) events |= POLLOUT;
  return events;
}

}  // namespace

RelayEnd Relay(Fd pos, Fd printer, const Waker& waker, std::chrono::milliseconds idle,
               const std::function<void(const unsigned char*, size_t)>& seen,
               ChannelCounters& counters) {
  Pipe up{pos.Get(), printer.Get()};    // POS to printer
  Pipe down{printer.Get(), pos.Get()};  // printer to POS
  bool ok = true;
  RelayEnd end = RelayEnd::kEnded;
  while (ok && !(up.Finished() && down.Finished())) {
    pollfd fds[3] = {{pos.Get(), Events(up, down), 0},
                     {printer.Get(), Events(down, up), 0},
                     {waker.Fd(), POLLIN, 0}};
    // A side with nothing to do is left out: a hung-up socket would
    // otherwise wake the poll again and again.
    for (int side = 0; side < 2; ++side) {
      if (fds[side].events == 0) fds[side].fd = -1;
    }
    int rc = poll(fds, 3, static_cast<int>(idle.count()));
    if (rc < 0 && errno == EINTR) continue;
    if (rc == 0) {
      end = RelayEnd::kIdle;
      break;
    }
    if (rc < 0 || (fds[2].revents & POLLIN)) {
      end = RelayEnd::kStopped;
      break;
    }
    for (int side = 0; side < 2 && ok; ++side) {
      Pipe& in = side == 0 ? up : down;
      Pipe& out = side == 0 ? down : up;
      short got = fds[side].revents;
      if ((got & (POLLIN | POLLHUP | POLLERR)) && in.WantsRead()) {
        ok = in.Read();
        (side == 0 ? counters.to_printer : counters.from_printer)
            .fetch_add(in.got, std::memory_order_relaxed);
        // Sent on first, seen after: the listener adds nothing to a status
        // request's round trip.
        if (ok && in.Pending()) ok = in.Write();
        if (ok && side == 0 && in.got > 0) seen(in.buffer.get(), in.got);
      }
      if (ok && (got & (POLLOUT | POLLERR)) && out.Pending()) ok = out.Write();
      if (ok && (got & POLLERR) && !in.WantsRead() && !out.Pending()) ok = false;
    }
    up.PassEnd();
    down.PassEnd();
  }
  if (!ok) {  // a reset on one side resets the other
    Abort(pos);
    Abort(printer);
    return RelayEnd::kReset;
  }
  return end;
}

}  // namespace poshark::tool
