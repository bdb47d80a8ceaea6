// The loopback limit, the yardstick a kept body is held to: the least work any client can do to
// end up with a body in memory. One plain blocking socket to 127.0.0.1, a minimal GET, the head
// read, then the body received straight into fresh memory: one block of the announced length,
// asked for when the head arrives (a block that large is always new pages from the system), each
// recv() writing into it where the last one stopped. No parser, no copies, no growth.
//
//   ServerProcess server(BENCH_SERVER);
//   const bool ok = LoopbackLimit::KeepBody(server.Port(), "/big", LoopbackServer::BigBodySize);
#pragma once

#include <cstdint>
#include <string>

namespace LoopbackLimit {

// GET path from 127.0.0.1:port on a new connection, the body kept until return. False when the
// connection fails, the answer is not a 200 with Content-Length, or the body is not expectedSize
// bytes of 'x'.
[[nodiscard]] bool KeepBody(int port, const std::string& path, std::uint64_t expectedSize);

} // namespace LoopbackLimit
