#pragma once

// Executors of the async runtime.
//
//   asio::io_context io;                         // one per process, run on a few threads
//   Strand strand = makeStrand(io.get_executor());
//   Task task = Task::spawn(strand, work());     // see kit/support/Task.h
//
// Every coroutine runs on a strand. A strand serialises what runs on it (it is an actor's
// executor and our serial queue), and cancellation is always delivered on the strand of the
// coroutine it cancels, so a cancellation can never run at the same time as the operation it
// ends (the kit's Task.h, AsyncStream.h and clocks rely on that).
//
// Two faults of g++ 12's coroutines that every coroutine here must steer clear of:
// - An aggregate temporary (a lambda, a msg:: struct, any brace-built struct without a
//   constructor) inside an expression that contains co_await is destroyed twice. Build it
//   in a statement of its own: `Message m = msg::FileEnd{id}; co_await c->sendTransfer(m);`.
// - Loop over a stream with a named value, `while (auto v = co_await s.next())`; a bare
//   `while (co_await s.next())` was seen to corrupt memory.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/strand.hpp>

namespace brindlet {

using Executor = asio::any_io_executor;
using Strand = asio::strand<Executor>;

inline Strand makeStrand(const Executor& executor) { return asio::make_strand(executor); }

}  // namespace brindlet
