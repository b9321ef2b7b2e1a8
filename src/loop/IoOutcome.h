#pragma once

#include "loop/Outcome.h"

#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>

namespace korvel {

inline Outcome OutcomeOf(const boost::system::error_code& error)
{
    if (!error)
        return Outcome::Done;
    return error == boost::asio::error::operation_aborted ? Outcome::Aborted : Outcome::Failed;
}

} // namespace korvel
