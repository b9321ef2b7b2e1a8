#include "common/PelcoCommand.h"

#include "common/PelcoFrames.h"

namespace korvel {

namespace {

std::string Speed(std::uint8_t speed)
{
    if (speed == Pelco::TurboSpeed)
        return "turbo speed";
    return "speed " + std::to_string(speed);
}

std::string ExtendedText(std::uint8_t code, std::uint8_t argument)
{
    switch (code) {
    case Pelco::SetPreset:
        return "set preset " + std::to_string(argument);
    case Pelco::ClearPreset:
        return "clear preset " + std::to_string(argument);
    case Pelco::GoToPreset:
        return "go to preset " + std::to_string(argument);
    case 0x09:
        return "set auxiliary " + std::to_string(argument);
    case 0x0B:
        return "clear auxiliary " + std::to_string(argument);
    default:
        return "extended command " + HexByte(code) + " with argument " + std::to_string(argument);
    }
}

} // namespace

const char* PelcoName(PelcoProtocol protocol)
{
    return protocol == PelcoProtocol::D ? "Pelco-D" : "Pelco-P";
}

PelcoCommand InterpretPelco(PelcoProtocol protocol, const Bytes& frame)
{
    PelcoCommand command;
    command.protocol = protocol;
    std::uint8_t motion = 0;
    if (protocol == PelcoProtocol::D) {
        command.camera = frame[1];
        const std::uint8_t first = frame[2];
        motion = frame[3];
        command.panSpeed = frame[4];
        command.tiltSpeed = frame[5];
        command.focusNear = first & 0x01;
        command.irisOpen = first & 0x02;
        command.irisClose = first & 0x04;
        command.focusFar = motion & 0x80;
        const bool sense = first & 0x80;
        if (first & 0x08)
            command.others.push_back(sense ? "camera on" : "camera off");
        if (first & 0x10)
            command.others.push_back(sense ? "auto scan" : "manual scan");
        if (first & 0x60)
            command.others.push_back("reserved bits " + HexByte(first & 0x60));
    } else {
        command.camera = frame[1] + 1;
        const std::uint8_t first = frame[2];
        motion = frame[3];
        command.panSpeed = frame[4];
        command.tiltSpeed = frame[5];
        command.focusFar = first & 0x01;
        command.focusNear = first & 0x02;
        command.irisOpen = first & 0x04;
        command.irisClose = first & 0x08;
        if (first & 0x10)
            command.others.push_back("camera on/off");
        if (first & 0x20)
            command.others.push_back("auto scan");
        if (first & 0x40)
            command.others.push_back("camera on");
        if (first & 0x80)
            command.others.push_back("reserved bits " + HexByte(first & 0x80));
    }
    if (motion & Pelco::Extended) {
        command.extended = true;
        command.code = motion;
        command.argument = command.tiltSpeed;
        return command;
    }
    command.panRight = motion & Pelco::PanRight;
    command.panLeft = motion & Pelco::PanLeft;
    command.tiltUp = motion & Pelco::TiltUp;
    command.tiltDown = motion & Pelco::TiltDown;
    command.zoomIn = motion & Pelco::ZoomTele;
    command.zoomOut = motion & Pelco::ZoomWide;
    return command;
}

std::string DescribePelco(const PelcoCommand& command)
{
    if (command.extended)
        return ExtendedText(command.code, command.argument);

    std::vector<std::string> parts;
    if (command.panLeft && command.panRight)
        parts.push_back("pan left and right at once");
    else if (command.panLeft)
        parts.push_back("pan left at " + Speed(command.panSpeed));
    else if (command.panRight)
        parts.push_back("pan right at " + Speed(command.panSpeed));
    if (command.tiltUp && command.tiltDown)
        parts.push_back("tilt up and down at once");
    else if (command.tiltUp)
        parts.push_back("tilt up at " + Speed(command.tiltSpeed));
    else if (command.tiltDown)
        parts.push_back("tilt down at " + Speed(command.tiltSpeed));
    if (command.zoomIn)
        parts.push_back("zoom in");
    if (command.zoomOut)
        parts.push_back("zoom out");
    if (command.focusNear)
        parts.push_back("focus near");
    if (command.focusFar)
        parts.push_back("focus far");
    if (command.irisOpen)
        parts.push_back("iris open");
    if (command.irisClose)
        parts.push_back("iris close");
    parts.insert(parts.end(), command.others.begin(), command.others.end());
    if (parts.empty())
        return "stop";
    std::string text;
    for (const auto& part : parts)
        text += (text.empty() ? "" : ", ") + part;
    return text;
}

} // namespace korvel
