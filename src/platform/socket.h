#pragma once
// Thin layer over POSIX sockets: the only code that includes socket headers.
// Functions return 0 on success and -1 with errno set, like the calls beneath.
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Owns one socket descriptor; closes it (after shutting both directions down)
// when destroyed.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { Close(); }

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Close();
  // Ends the connection without losing what was sent: the write side is shut
  // (the peer reads everything, then the end), and the socket is closed once
  // the peer has closed its side, or after timeoutMs.
  void CloseGracefully(int timeoutMs);

 private:
  int fd_ = -1;
};

// Never let a peer that closes its end kill the process.
void IgnoreSigpipe();

int CreateTcpSocket(int family);
int SetLingerZero(int fd);
int SetReuseAddress(int fd);
int SetNonBlocking(int fd);
int BindAny(int fd, std::uint16_t port);  // any address of the socket's family
int Listen(int fd);
int Accept(int fd);  // blocking; -1 with errno on failure
void ShutdownAndClose(int fd);

// Waits until the descriptor is readable (or has an error or hang-up pending).
// Returns 1 when readable, 0 on time-out, -1 on error.
int WaitReadable(int fd, int timeoutMs);
int WaitWritable(int fd, int timeoutMs);
// True once the peer has closed its sending side (what it sent before may
// still be queued).
bool PeerHasClosed(int fd);

// One non-blocking receive: bytes read, 0 when the peer has closed, -1 with
// errno (EAGAIN when nothing is there).
long ReceiveSome(int fd, void* buffer, std::size_t length);
// Bytes pending without taking them; -1 with errno.
long Peek(int fd, void* buffer, std::size_t length);
// Sends everything, waiting for the socket to drain for at most timeoutMs in
// all. 0 on success; -1 with errno (ETIMEDOUT when the peer does not read).
int SendAll(int fd, const void* data, std::size_t length, int timeoutMs);

// Connects to host:port over TCP (blocking, with a time-out); for clients and
// tests. Returns the descriptor or -1.
int ConnectTcp(const std::string& host, std::uint16_t port, int timeoutMs);

}  // namespace platform
