// Every limit of the bridge in one place: what a stranger, a page, one
// connection and one message may cost it, and how long it waits for each.
#pragma once

#include <chrono>
#include <cstddef>

namespace bridge::limits {

using namespace std::chrono_literals;

// Before a handshake is judged no thread is spent on a socket: handshakes are
// read on the listener's thread, each within this time of its acceptance,
// and at most this many at once (a new one drops the oldest pending one).
inline constexpr auto kHandshakeTime = 10s;
inline constexpr size_t kPendingHandshakes = 512;
inline constexpr size_t kHandshakeHeaderBytes = 8 * 1024;
inline constexpr size_t kHandshakeBodyBytes = 4 * 1024;

// Upgraded connections open at once, each with its apartment thread; one
// more is told the bridge is busy. One user's label pages never come near.
inline constexpr int kConnections = 128;
// Live control objects one connection may hold.
inline constexpr size_t kObjects = 64;

// The longest message a page may send: a 16 MiB label as base64 and then some.
inline constexpr size_t kMessageBytes = size_t{64} << 20;
// A message longer than this is read on only while it holds one of a few
// places for large messages, and must arrive whole within the time below:
// however many pages send long messages, only that many are in memory at once.
inline constexpr size_t kSmallMessageBytes = size_t{1} << 20;
inline constexpr int kLargeMessages = 2;
inline constexpr auto kLargeMessageTime = 60s;
// A request is at most three levels deep (request, arguments, a byte array)
// and holds a handful of values; these bound the work of reading one.
inline constexpr int kNestingDepth = 32;
inline constexpr size_t kValuesPerRequest = 1024;

// An answer to a refused handshake, and the close of a connection, must be
// taken by the page within this time.
inline constexpr auto kCloseTime = 5s;
// When the bridge is asked to end, calls under way may finish within this time;
// --end waits this long for the bridges it asked before it terminates them.
inline constexpr auto kEndTime = 30s;
inline constexpr auto kEndOthersTime = 45s;

// The log file rolls over at this size; one older file is kept.
inline constexpr size_t kLogBytes = size_t{1} << 20;

}  // namespace bridge::limits
