#include "wire.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <unistd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace korvexd {

const char* describe(Io io) {
  switch (io) {
    case Io::Ok: return "ok";
    case Io::Closed: return "peer closed";
    case Io::TimedOut: return "timed out";
    case Io::Failed: return "I/O error";
  }
  return "?";
}

namespace {

// One recv takes a burst of many requests; a larger piece of an upload goes
// straight from the socket to the file instead (spliceToFile).
constexpr std::size_t kReceiveBuffer = 64 * 1024;
// Held output is sent once it reaches this much, whatever follows.
constexpr std::size_t kHeldOutput = 64 * 1024;

}  // namespace

Io Wire::await(short events, int timeoutMs) {
  pollfd p{fd_, events, 0};
  for (;;) {
    int n = ::poll(&p, 1, timeoutMs);
    if (n > 0) return Io::Ok;  // errors and hang-ups surface in the next call
    if (n == 0) return Io::TimedOut;
    if (errno != EINTR) return Io::Failed;
  }
}

Io Wire::awaitInput(int timeoutMs) {
  if (Io io = flush(); io != Io::Ok) return io;
  return await(POLLIN, timeoutMs);
}

Io Wire::fill(int waitMs) {
  // Not zeroed: an idle connection keeps resident only the pages its bursts
  // have reached, not the whole buffer.
  if (!in_) in_ = std::make_unique_for_overwrite<std::uint8_t[]>(kReceiveBuffer);
  inBegin_ = inEnd_ = 0;
  for (;;) {
    ssize_t n = ::recv(fd_, in_.get(), kReceiveBuffer, 0);
    if (n > 0) {
      inEnd_ = static_cast<std::size_t>(n);
      return Io::Ok;
    }
    if (n == 0 || errno == ECONNRESET) return Io::Closed;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      Io waited = awaitInput(waitMs);
      if (waited != Io::Ok) return waited;
    } else if (errno != EINTR) {
      return Io::Failed;
    }
  }
}

Io Wire::readExact(void* buffer, std::size_t size) { return readExact(buffer, size, stallMs_); }

Io Wire::readExact(void* buffer, std::size_t size, int firstWaitMs) {
  auto* at = static_cast<std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    if (buffered() == 0) {
      Io io = fill(done == 0 ? firstWaitMs : stallMs_);
      if (io != Io::Ok) return io;
    }
    std::size_t n = std::min(buffered(), size - done);
    std::memcpy(at + done, in_.get() + inBegin_, n);
    inBegin_ += n;
    done += n;
  }
  return Io::Ok;
}

Io Wire::readExactBy(void* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline) {
  auto* at = static_cast<std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    if (buffered() == 0) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return Io::TimedOut;
      Io io = fill(static_cast<int>(std::min<long long>(left, stallMs_)));
      if (io != Io::Ok) return io;
    }
    std::size_t n = std::min(buffered(), size - done);
    std::memcpy(at + done, in_.get() + inBegin_, n);
    inBegin_ += n;
    done += n;
  }
  return Io::Ok;
}

Io Wire::pause(int ms) {
  if (Io io = flush(); io != Io::Ok) return io;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0) return Io::Ok;
    // Hang-ups are reported whatever the events asked; bytes sent meanwhile wait.
    pollfd p{fd_, POLLRDHUP, 0};
    int n = ::poll(&p, 1, static_cast<int>(left));
    if (n > 0) return Io::Closed;
    if (n < 0 && errno != EINTR) return Io::Failed;
  }
}

Io Wire::takeSome(std::size_t max, const std::uint8_t*& data, std::size_t& got) {
  got = 0;
  if (buffered() == 0) {
    Io io = fill(stallMs_);
    if (io != Io::Ok) return io;
  }
  data = in_.get() + inBegin_;
  got = std::min(buffered(), max);
  inBegin_ += got;
  return Io::Ok;
}

Io Wire::afterSendError() {
  if (errno == EAGAIN || errno == EWOULDBLOCK) return await(POLLOUT, stallMs_);
  if (errno == EPIPE || errno == ECONNRESET) return Io::Closed;
  return errno == EINTR ? Io::Ok : Io::Failed;
}

Io Wire::sendAll(const void* buffer, std::size_t size, int flags) {
  const auto* at = static_cast<const std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::send(fd_, at + done, size - done, flags | MSG_NOSIGNAL);
    if (n >= 0) {
      done += static_cast<std::size_t>(n);
    } else if (Io io = afterSendError(); io != Io::Ok) {
      return io;
    }
  }
  return Io::Ok;
}

Io Wire::flush(bool more) {
  if (out_.empty()) return Io::Ok;
  Io io = sendAll(out_.data(), out_.size(), more ? MSG_MORE : 0);
  out_.clear();
  return io;
}

Io Wire::writeAll(const void* buffer, std::size_t size, bool more) {
  if (out_.size() + size > kHeldOutput) {
    if (Io io = flush(true); io != Io::Ok) return io;
    // Too large to hold: it leaves at once, the bytes before it ahead of it.
    if (size >= kHeldOutput) return sendAll(buffer, size, more ? MSG_MORE : 0);
  }
  const auto* at = static_cast<const std::uint8_t*>(buffer);
  out_.insert(out_.end(), at, at + size);
  // More requests already here: their replies leave with this one.
  if (more || buffered() > 0) return Io::Ok;
  return flush();
}

Io Wire::sendFile(int fileFd, std::uint64_t count) {
  if (Io io = flush(count > 0); io != Io::Ok) return io;
  off_t offset = 0;
  std::uint64_t left = count;
  while (left > 0) {
    // One call moves at most about 2 GiB; ask for less and loop.
    std::size_t ask = static_cast<std::size_t>(std::min<std::uint64_t>(left, 1u << 30));
    ssize_t n = ::sendfile(fd_, fileFd, &offset, ask);
    if (n > 0) {
      left -= static_cast<std::uint64_t>(n);
    } else if (n == 0) {
      errno = ENODATA;  // the file shrank after its size was announced
      return Io::Failed;
    } else if (Io io = afterSendError(); io != Io::Ok) {
      return io;
    }
  }
  return Io::Ok;
}

Io Wire::spliceToFile(const Pipe& pipe, int fileFd, std::size_t count, std::size_t& moved, int& fileError,
                      bool& unsupported) {
  fileError = 0;
  unsupported = buffered() > 0;  // those bytes come first: the caller takes them
  if (unsupported) return Io::Ok;
  while (count > 0) {
    // The pipe is empty here: each round drains it into the file.
    ssize_t in = ::splice(fd_, nullptr, pipe.write, nullptr, std::min(count, pipe.size),
                          SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (in == 0) return Io::Closed;
    if (in < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        Io waited = awaitInput(stallMs_);
        if (waited != Io::Ok) return waited;
        continue;
      }
      if (errno == EINTR) continue;
      if (errno == ECONNRESET) return Io::Closed;
      if (errno == EINVAL || errno == ENOSYS) {
        unsupported = moved == 0;
        if (unsupported) return Io::Ok;
      }
      return Io::Failed;
    }
    count -= static_cast<std::size_t>(in);
    for (std::size_t left = static_cast<std::size_t>(in); left > 0;) {
      ssize_t out = fileError ? -1 : ::splice(pipe.read, nullptr, fileFd, nullptr, left, SPLICE_F_MOVE);
      if (out > 0) {
        left -= static_cast<std::size_t>(out);
        moved += static_cast<std::size_t>(out);
        continue;
      }
      if (out < 0 && errno == EINTR && !fileError) continue;
      if (!fileError) fileError = out == 0 ? EIO : errno;
      // The file takes no more: empty the pipe so the stream stays in step.
      char sink[4096];
      ssize_t dropped = ::read(pipe.read, sink, std::min(left, sizeof sink));
      if (dropped <= 0) return Io::Failed;
      left -= static_cast<std::size_t>(dropped);
      moved += static_cast<std::size_t>(dropped);
    }
    if (fileError) return Io::Ok;
  }
  return Io::Ok;
}

}  // namespace korvexd
