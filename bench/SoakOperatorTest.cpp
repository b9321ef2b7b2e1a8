// The soak's operator counts what the service sends it however TCP cuts
// the stream: a miscount would pass a run that lost notices, or fail one
// that lost none.
#include "SessionPool.h"
#include "SoakOperator.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace korvel {

using boost::asio::ip::tcp;
using namespace std::chrono_literals;

TEST(SoakOperator, CountsGreetingAnswersAndNoticesHoweverTheStreamIsCut)
{
    const std::string stream = std::string("#0000F0 You have control") + "#F00000 u1 has control" +
                               "1CAMERA\t127.0.1.3\t3\tcam3" + "OK" + "#0000F0 " + "FAILURE" +
                               "0CAMERA\t127.0.1.4\t4" + "OK" + "FAILURE";
    for (std::size_t cut : {std::size_t(0), std::size_t(1), std::size_t(3), std::size_t(7)}) {
        SCOPED_TRACE("bytes per write: " + std::to_string(cut));
        boost::asio::io_context io;
        tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        SoakOperator op(io, acceptor.local_endpoint(), 7);
        tcp::socket service(io);
        acceptor.accept(service);
        service.set_option(tcp::no_delay(true));
        boost::asio::write(service, boost::asio::buffer(std::string("SESSION 4242")));
        ASSERT_TRUE(RunUntil(io, [&] { return op.Greeted(); }, 10s));
        for (int i = 0; i < 4; ++i)
            ASSERT_TRUE(op.Login("u1", "p1", 0));
        EXPECT_EQ(op.AnswersPending(), 4u);
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t count = cut == 0 ? stream.size() : std::min(cut, stream.size() - at);
            boost::asio::write(service, boost::asio::buffer(stream.data() + at, count));
            at += count;
            io.run_for(1ms);
        }
        ASSERT_TRUE(RunUntil(io, [&] { return op.AnswersPending() == 0; }, 10s));
        EXPECT_EQ(op.Failures(), 2u);
        EXPECT_EQ(op.TakeNotices(), 5u);
        EXPECT_EQ(op.TakeNotices(), 0u);
        EXPECT_FALSE(op.Ended());
        service.close();
        ASSERT_TRUE(RunUntil(io, [&] { return op.Ended(); }, 10s));
    }
}

} // namespace korvel
