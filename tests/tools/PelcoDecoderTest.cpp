// The Pelco frame decoder: frames of both layouts, bad checksums, bytes
// outside frames, frames split across reads, and resynchronisation.
#include "common/PelcoDecoder.h"
#include "common/PelcoCommand.h"

#include <gtest/gtest.h>

namespace korvel::pelco_decoder_test {

namespace {

using Kind = PelcoEvent::Kind;
using P = PelcoProtocol;

Bytes Hex(const std::string& text)
{
    const auto bytes = ParseHexBytes(text);
    EXPECT_TRUE(bytes.has_value()) << text;
    return bytes.value_or(Bytes{});
}

struct Event
{
    Kind kind;
    PelcoProtocol protocol;
    std::string hex;
};

std::string Show(const PelcoEvent& event)
{
    const char* kind = event.kind == Kind::Frame         ? "frame"
                       : event.kind == Kind::BadChecksum ? "bad"
                                                         : "noise";
    const char* protocol = event.kind == Kind::Noise ? "" : PelcoName(event.protocol);
    return std::string(kind) + " " + protocol + " [" + HexBytes(event.bytes) + "]";
}

std::string Show(const Event& event)
{
    return Show(PelcoEvent{event.kind, event.protocol, Hex(event.hex)});
}

} // namespace

TEST(PelcoDecoder, FindsFramesChecksumFailuresAndNoiseInAnyPieces)
{
    const struct
    {
        const char* name;
        std::vector<std::string> reads;
        std::vector<Event> events;
        std::uint64_t frames, bad, skipped;
    } cases[] = {
        {"one Pelco-D frame",
         {"FF 03 00 04 14 00 1B"},
         {{Kind::Frame, P::D, "FF 03 00 04 14 00 1B"}},
         1,
         0,
         0},
        {"one Pelco-P frame",
         {"A0 01 00 08 00 20 AF 26"},
         {{Kind::Frame, P::P, "A0 01 00 08 00 20 AF 26"}},
         1,
         0,
         0},
        {"frame split over three reads",
         {"FF 03", "00 04 14", "00 1B"},
         {{Kind::Frame, P::D, "FF 03 00 04 14 00 1B"}},
         1,
         0,
         0},
        {"two frames of both layouts in one read",
         {"FF 03 00 04 14 00 1B A0 01 00 08 00 20 AF 26"},
         {{Kind::Frame, P::D, "FF 03 00 04 14 00 1B"},
          {Kind::Frame, P::P, "A0 01 00 08 00 20 AF 26"}},
         2,
         0,
         0},
        {"a data byte FF inside a frame (turbo pan)",
         {"FF 01 00 04 FF 00 04"},
         {{Kind::Frame, P::D, "FF 01 00 04 FF 00 04"}},
         1,
         0,
         0},
        {"a data byte A0 inside a frame",
         {"FF 01 00 04 A0 00 A5"},
         {{Kind::Frame, P::D, "FF 01 00 04 A0 00 A5"}},
         1,
         0,
         0},
        {"bad Pelco-D checksum",
         {"FF 03 00 04 14 00 00"},
         {{Kind::BadChecksum, P::D, "FF 03 00 04 14 00 00"}},
         0,
         1,
         0},
        {"bad Pelco-P checksum",
         {"A0 01 00 08 00 20 AF 00"},
         {{Kind::BadChecksum, P::P, "A0 01 00 08 00 20 AF 00"}},
         0,
         1,
         0},
        {"noise before a frame",
         {"41 42 FF 03 00 04 14 00 1B"},
         {{Kind::Noise, P::D, "41 42"}, {Kind::Frame, P::D, "FF 03 00 04 14 00 1B"}},
         1,
         0,
         2},
        {"truncated frame, then a whole one: resynchronised",
         {"FF 03 00 FF 03 00 04 14 00 1B"},
         {{Kind::BadChecksum, P::D, "FF 03 00 FF 03 00 04"},
          {Kind::Frame, P::D, "FF 03 00 04 14 00 1B"}},
         1,
         1,
         0},
        {"resynchronised across reads",
         {"FF 03 00 04", "14 00 00 FF 03 00 04 14 00 1B"},
         {{Kind::BadChecksum, P::D, "FF 03 00 04 14 00 00"},
          {Kind::Frame, P::D, "FF 03 00 04 14 00 1B"}},
         1,
         1,
         0},
        {"Pelco-P start without its end byte is noise",
         {"A0 01 02 03 04 05 06 07 FF 01 00 00 00 00 01"},
         {{Kind::Noise, P::D, "A0 01 02 03 04 05 06 07"},
          {Kind::Frame, P::D, "FF 01 00 00 00 00 01"}},
         1,
         0,
         8},
        {"a run of FF bytes: one bad frame per frame length",
         {"FF FF FF FF FF FF FF FF FF FF FF FF FF FF"},
         {{Kind::BadChecksum, P::D, "FF FF FF FF FF FF FF"},
          {Kind::BadChecksum, P::D, "FF FF FF FF FF FF FF"}},
         0,
         2,
         0},
        {"an incomplete frame waits", {"FF 03 00 04 14"}, {}, 0, 0, 0},
        {"empty reads", {"", ""}, {}, 0, 0, 0},
    };
    for (const auto& c : cases) {
        PelcoDecoder decoder;
        std::vector<std::string> seen;
        for (const auto& read : c.reads)
            for (const auto& event : decoder.Feed(Hex(read)))
                seen.push_back(Show(event));
        std::vector<std::string> expected;
        for (const auto& event : c.events)
            expected.push_back(Show(event));
        EXPECT_EQ(seen, expected) << c.name;
        EXPECT_EQ(decoder.Frames(), c.frames) << c.name;
        EXPECT_EQ(decoder.BadChecksums(), c.bad) << c.name;
        EXPECT_EQ(decoder.SkippedBytes(), c.skipped) << c.name;
    }
}

TEST(PelcoDecoder, SameEventsWhateverTheReadSize)
{
    const Bytes stream = Hex("41 FF 03 00 FF 03 00 04 14 00 1B A0 01 00 08 00 20 AF 26 FF 01 00 "
                             "00 00 00 02 FF 01 00 07 00 04 0C");
    PelcoDecoder whole;
    whole.Feed(stream);
    for (std::size_t size = 1; size <= 9; ++size) {
        PelcoDecoder pieces;
        for (std::size_t at = 0; at < stream.size(); at += size)
            pieces.Feed(stream.data() + at, std::min(size, stream.size() - at));
        EXPECT_EQ(pieces.Frames(), whole.Frames()) << size;
        EXPECT_EQ(pieces.BadChecksums(), whole.BadChecksums()) << size;
        EXPECT_EQ(pieces.SkippedBytes(), whole.SkippedBytes()) << size;
    }
    EXPECT_EQ(whole.Frames(), 3u);
    EXPECT_EQ(whole.BadChecksums(), 2u);
    EXPECT_EQ(whole.SkippedBytes(), 1u);
}

TEST(PelcoCommand, FramesReadInPlainWords)
{
    const struct
    {
        const char* frame;
        int camera;
        const char* words;
    } cases[] = {
        {"FF 03 00 04 14 00 1B", 3, "pan left at speed 20"},
        {"FF 01 00 0A 10 20 3B", 1, "pan right at speed 16, tilt up at speed 32"},
        {"FF 01 00 04 FF 00 04", 1, "pan left at turbo speed"},
        {"FF 03 00 20 00 00 23", 3, "zoom in"},
        {"FF 03 00 40 00 00 43", 3, "zoom out"},
        {"FF 03 00 00 00 00 03", 3, "stop"},
        {"FF 01 00 07 00 04 0C", 1, "go to preset 4"},
        {"FF 01 00 03 00 05 09", 1, "set preset 5"},
        {"FF 03 00 05 00 04 0C", 3, "clear preset 4"},
        {"FF 01 88 00 00 00 89", 1, "camera on"},
        {"A0 01 00 08 00 20 AF 26", 2, "tilt up at speed 32"},
        {"A0 00 00 07 00 02 AF 0A", 1, "go to preset 2"},
    };
    for (const auto& c : cases) {
        PelcoDecoder decoder;
        const auto events = decoder.Feed(Hex(c.frame));
        ASSERT_EQ(events.size(), 1u) << c.frame;
        ASSERT_EQ(events[0].kind, Kind::Frame) << c.frame;
        const PelcoCommand command = InterpretPelco(events[0].protocol, events[0].bytes);
        EXPECT_EQ(command.camera, c.camera) << c.frame;
        EXPECT_EQ(DescribePelco(command), c.words) << c.frame;
    }
}

} // namespace korvel::pelco_decoder_test
