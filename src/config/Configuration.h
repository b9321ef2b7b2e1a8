#pragma once

#include "camera/CameraTable.h"
#include "client/UserAccount.h"
#include "nvr/NvrTable.h"

#include <boost/asio/io_context.hpp>

#include <string>

// Reads directory + "tlKorvel.xml" and fills the three (empty) tables; the
// track cameras start their links on the I/O loop at once. Returns 0 on
// success and -1 when the file cannot be used. May throw (for example for a
// serial setting the port refuses).
int LoadConfiguration(boost::asio::io_context& io, NvrTable& nvrs, CameraTable& cameras,
                      UserTable& users, const std::string& directory);
