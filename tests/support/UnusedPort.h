#pragma once

namespace korvel {

// A loopback TCP port that nothing listens on: bound, read back and closed
// again, so it stays free only for a moment (fine for "nothing listens here").
unsigned short UnusedPort();

} // namespace korvel
