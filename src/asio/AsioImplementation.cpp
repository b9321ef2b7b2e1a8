// Asio's own implementation, compiled once here instead of in every file
// that includes its headers (BOOST_ASIO_SEPARATE_COMPILATION is set for the
// whole project): most of the cost of a file that uses Asio is this code.
#include <boost/asio/impl/src.hpp>
