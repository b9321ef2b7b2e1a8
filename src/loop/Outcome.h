#pragma once

namespace korvel {

// How an asynchronous operation on the loop ended: the one outcome of
// socket, resolver and timer completions (IoOutcome.h reads it from their
// error code). No Boost here: the pure cores take it as it is.
enum class Outcome
{
    Done,
    Aborted, // its socket or timer was closed or cancelled under it
    Failed,
};

} // namespace korvel
