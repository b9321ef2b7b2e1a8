#pragma once

#include "camera/LinkStateMachine.h"

#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>

namespace korvel {

// How an asynchronous operation ended, from its error code: cancelled
// (its socket or timer closed or cancelled under it), failed, or done.
inline Outcome OutcomeOf(const boost::system::error_code& error)
{
    if (!error)
        return Outcome::Done;
    return error == boost::asio::error::operation_aborted ? Outcome::Aborted : Outcome::Failed;
}

} // namespace korvel
