#include "wire.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <unistd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

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

Io Wire::await(short events, int timeoutMs) {
  pollfd p{fd_, events, 0};
  for (;;) {
    int n = ::poll(&p, 1, timeoutMs);
    if (n > 0) return Io::Ok;  // errors and hang-ups surface in the next call
    if (n == 0) return Io::TimedOut;
    if (errno != EINTR) return Io::Failed;
  }
}

Io Wire::readExact(void* buffer, std::size_t size) { return readExact(buffer, size, stallMs_); }

Io Wire::readExact(void* buffer, std::size_t size, int firstWaitMs) {
  auto* at = static_cast<std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    std::size_t got = 0;
    Io io = receive(at + done, size - done, got, done == 0 ? firstWaitMs : stallMs_);
    if (io != Io::Ok) return io;
    done += got;
  }
  return Io::Ok;
}

Io Wire::readExactBy(void* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline) {
  auto* at = static_cast<std::uint8_t*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return Io::TimedOut;
    std::size_t got = 0;
    Io io = receive(at + done, size - done, got, static_cast<int>(std::min<long long>(left, stallMs_)));
    if (io != Io::Ok) return io;
    done += got;
  }
  return Io::Ok;
}

Io Wire::pause(int ms) {
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

Io Wire::readSome(void* buffer, std::size_t size, std::size_t& got) { return receive(buffer, size, got, stallMs_); }

Io Wire::receive(void* buffer, std::size_t size, std::size_t& got, int waitMs) {
  got = 0;
  for (;;) {
    ssize_t n = ::recv(fd_, buffer, size, 0);
    if (n > 0) {
      got = static_cast<std::size_t>(n);
      return Io::Ok;
    }
    if (n == 0 || errno == ECONNRESET) return Io::Closed;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      Io waited = await(POLLIN, waitMs);
      if (waited != Io::Ok) return waited;
    } else if (errno != EINTR) {
      return Io::Failed;
    }
  }
}

Io Wire::afterSendError() {
  if (errno == EAGAIN || errno == EWOULDBLOCK) return await(POLLOUT, stallMs_);
  if (errno == EPIPE || errno == ECONNRESET) return Io::Closed;
  return errno == EINTR ? Io::Ok : Io::Failed;
}

Io Wire::writeAll(const void* buffer, std::size_t size, bool more) {
  const auto* at = static_cast<const std::uint8_t*>(buffer);
  int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::send(fd_, at + done, size - done, flags);
    if (n >= 0) {
      done += static_cast<std::size_t>(n);
    } else if (Io io = afterSendError(); io != Io::Ok) {
      return io;
    }
  }
  return Io::Ok;
}

Io Wire::sendFile(int fileFd, std::uint64_t count) {
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
  unsupported = false;
  while (count > 0) {
    // The pipe is empty here: each round drains it into the file.
    ssize_t in = ::splice(fd_, nullptr, pipe.write, nullptr, std::min(count, pipe.size),
                          SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (in == 0) return Io::Closed;
    if (in < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        Io waited = await(POLLIN, stallMs_);
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
