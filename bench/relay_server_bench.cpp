// The relay server's whole request path against a raw proactor echo server, driven side by
// side by one load generator, plus the relay's memory at 1,000 idle clients.
//
// Relay path: acceptor, connection, frame reader, manager queue, 4441 to a listener thread
// that stands in for the GUI thread, take_message, send_message. The listener answers each
// request with a 1002 frame carrying the request's payload, so the answer has the
// request's length and the generator treats both servers alike: it keeps one request in
// flight per connection (send, wait for the whole answer, record the latency, send the
// next), each connection from its own loopback address (the relay keeps one connection
// per address). The table gives requests per second, p50/p99 latency and the ratios
// (relay / raw echo).
//
// The generator and the memory probe are measurement equipment: they use the system calls
// directly (epoll, /proc), outside the code under test.
//
// Usage: bench_relay_server [seconds per run (2)] [server I/O threads (2)]
//                           [idle clients (1000)]
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "echo_load.h"
#include "headless_relay.h"
#include "relay/request_limits.h"
#include "event/async_sock_stream.h"
#include "foundation/library.h"
#include "platform/window_message.h"
#include "proactor_echo_server.h"
#include "relay/client_connection.h"
#include "relay/ocs_message.h"
#include "relay/seed_cipher.h"
#include "relay/veltrane_manager.h"
#include "serial/byte_block.h"

namespace {

using echo_bench::kReceiveSize;
using echo_bench::Result;
using echo_bench::Sources;
using relay_bench::Relay_Server;

// ---------------------------------------------------------------- raw proactor echo server

// Sends a copy of what arrived and reads again at once, without waiting for the write.
class Echo_Connection : public echo_bench::Counted_Stream {
 public:
  using Counted_Stream::Counted_Stream;

  int handle_input(VGS_Async_Read_Operation* op, DWORD error) override {
    const unsigned int n = received(op, error);
    if (n == 0) return -1;
    VGS_Byte_Block copy(n, op->read_block().c_ptr(0));
    if (send(copy, n) != 0 || recv(static_cast<VGS_Async_SOCK_Read_Stream*>(op), kReceiveSize) != 0) {
      delete op;
      return -1;
    }
    return 0;
  }
  int handle_output(VGS_Async_Write_Operation* op, DWORD error) override {
    delete op;
    return error == 0 ? 0 : -1;
  }
  int handle_close(DWORD key, void* handle, VGS_Proactor* proactor) override {
    const bool registered = completion_key() != 0;
    VGS_Async_SOCK_Stream::handle_close(key, handle, proactor);
    if (registered && completion_key() == 0) release();
    return 0;
  }
};

using Echo_Server = echo_bench::Proactor_Echo_Server<Echo_Connection>;

// ---------------------------------------------------------------- load

// A request frame as an OCS client sends it: 1001 with an enciphered JSON text.
std::string request_frame() {
  const std::string payload = EncryptToBase64(
      "{\"service_code\":\"S01\",\"auth_key\":\"0123456789abcdef\",\"patient_no\":\"00012345\","
      "\"dept\":\"IM\"}",
      kOcsPayloadKey);
  std::string frame(11, '\0');
  frame[0] = 2;
  frame.replace(1, 4, "ZERV");
  frame[5] = static_cast<char>(OCS_SID_DATA_REQ >> 8);
  frame[6] = static_cast<char>(OCS_SID_DATA_REQ & 0xFF);
  const auto length = static_cast<std::uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) frame[7 + i] = static_cast<char>(length >> (24 - 8 * i));
  return frame + payload;
}

// ---------------------------------------------------------------- memory of idle clients

// Connects `count` idle clients to a started server; `live` counts the server's
// connections. Prints the RSS growth per connection.
template <class Server, class Live>
void measure_idle(const char* name, Server& server, Live live, unsigned int count) {
  echo_bench::Idle_Clients clients(count, Sources::kDistinct);
  if (!clients.started()) return;
  const echo_bench::Idle_Memory m = echo_bench::measure_idle(clients, server.port, live);
  std::printf("  %-9s %5u of %u connected, RSS %6ld -> %6ld KiB: %5.1f KiB per client\n", name,
              m.live, count, m.before_kib, m.after_kib, m.per_connection_kib());
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const unsigned int threads = argc > 2 ? static_cast<unsigned int>(std::atoi(argv[2])) : 2;
  const unsigned int idle = argc > 3 ? static_cast<unsigned int>(std::atoi(argv[3])) : 1000;
  if (VGSLib::initialize() != 0) return 2;
  const std::string request = request_frame();

  std::printf("Relay request path vs raw proactor echo: %zu-byte request and answer frames, "
              "one in flight per client, each client from its own loopback address, %u server "
              "I/O threads, %.1f s per run, median of 3 alternating rounds\n\n",
              request.size(), threads, seconds);
  echo_bench::print_table_head("relay rps", "echo rps");
  constexpr int kRounds = 3;
  // At most kMaxWaitingRequests requests wait for the window: more clients, each with one
  // request in flight, would measure the refusals.
  for (unsigned int n : {1u, 8u, kMaxWaitingRequests}) {
    const unsigned int generators = n == 1 ? 1 : 2;
    std::vector<Result> ours;
    std::vector<Result> raw;
    for (int round = 0; round < kRounds; ++round) {
      {
        Relay_Server server(threads);
        if (!server.start()) return 3;
        ours.push_back(echo_bench::run_load(server.port, n, request, seconds, generators, Sources::kDistinct));
      }
      {
        Echo_Server server;
        if (!server.start(threads)) return 3;
        raw.push_back(echo_bench::run_load(server.port, n, request, seconds, generators, Sources::kDistinct));
      }
    }
    echo_bench::print_table_row(n, ours, raw);
  }

  if (idle > 0) {
    echo_bench::raise_descriptor_limit(idle);
    std::printf("\nServer memory with %u idle clients (each with one pending %u-byte receive)\n",
                idle, kReceiveSize);
    {
      Relay_Server server(threads);
      if (server.start()) {
        measure_idle("relay", server, [&server] { return server.clients(); }, idle);
      }
    }
    {
      Echo_Server server;
      if (server.start(threads)) {
        measure_idle("raw echo", server,
                     [&server] { return static_cast<unsigned int>(server.live.load()); }, idle);
      }
    }
  }
  VGSLib::uninitialize();
  return 0;
}
