#include "tools/session/descriptors.h"

#include "tools/session/text.h"

#include <cstdio>
#include <string_view>

namespace session {
namespace {

constexpr uint8_t kDeviceType = 1;
constexpr uint8_t kConfigurationType = 2;
constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kEndpointType = 5;

class Describer {
public:
    std::string text;

    void Field(int indent, std::string_view name, const std::string& value)
    {
        std::string line(static_cast<size_t>(indent), ' ');
        line += name;
        line.append(name.size() < 20 ? 20 - name.size() : 1, ' ');
        line += value;
        text += line + "\n";
    }
    void Line(int indent, const std::string& words) { text += std::string(static_cast<size_t>(indent), ' ') + words + "\n"; }

    static std::string Decimal(unsigned value, int width = 5)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%*u", width, value);
        return text;
    }
    static std::string Hex(unsigned value, int digits)
    {
        char digitsText[16];
        std::snprintf(digitsText, sizeof digitsText, "0x%0*x", digits, value);
        char text[32];
        std::snprintf(text, sizeof text, "%6s", digitsText);
        return text;
    }
    static std::string Bcd(unsigned value)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%3x.%02x", value >> 8, value & 0xFF);
        return text;
    }

    void Device(const uint8_t* d, size_t length)
    {
        Line(0, "Device Descriptor:");
        if (length < 18) {
            Line(2, "(malformed: " + std::to_string(length) + " bytes, 18 needed) " + HexBytes(d, length));
            return;
        }
        Field(2, "bLength", Decimal(d[0]));
        Field(2, "bDescriptorType", Decimal(d[1]));
        Field(2, "bcdUSB", Bcd(Word(d + 2)));
        Field(2, "bDeviceClass", Decimal(d[4]));
        Field(2, "bDeviceSubClass", Decimal(d[5]));
        Field(2, "bDeviceProtocol", Decimal(d[6]));
        Field(2, "bMaxPacketSize0", Decimal(d[7]));
        Field(2, "idVendor", Hex(Word(d + 8), 4));
        Field(2, "idProduct", Hex(Word(d + 10), 4));
        Field(2, "bcdDevice", Bcd(Word(d + 12)));
        Field(2, "iManufacturer", Decimal(d[14]));
        Field(2, "iProduct", Decimal(d[15]));
        Field(2, "iSerial", Decimal(d[16]));
        Field(2, "bNumConfigurations", Decimal(d[17]));
    }

    void Configuration(const uint8_t* d, size_t length)
    {
        Line(2, "Configuration Descriptor:");
        Field(4, "bLength", Decimal(d[0]));
        Field(4, "bDescriptorType", Decimal(d[1]));
        if (length < 9) {
            Line(4, "(malformed: " + std::to_string(length) + " bytes, 9 needed)");
            return;
        }
        Field(4, "wTotalLength", Hex(Word(d + 2), 4));
        Field(4, "bNumInterfaces", Decimal(d[4]));
        Field(4, "bConfigurationValue", Decimal(d[5]));
        Field(4, "iConfiguration", Decimal(d[6]));
        Field(4, "bmAttributes", Hex(d[7], 2));
        Line(6, (d[7] & 0x40) ? "Self Powered" : "(Bus Powered)");
        if (d[7] & 0x20)
            Line(6, "Remote Wakeup");
        Field(4, "MaxPower", Decimal(d[8] * 2u) + "mA");
    }

    void Interface(const uint8_t* d, size_t length)
    {
        Line(4, "Interface Descriptor:");
        Field(6, "bLength", Decimal(d[0]));
        Field(6, "bDescriptorType", Decimal(d[1]));
        if (length < 9) {
            Line(6, "(malformed: " + std::to_string(length) + " bytes, 9 needed)");
            return;
        }
        Field(6, "bInterfaceNumber", Decimal(d[2]));
        Field(6, "bAlternateSetting", Decimal(d[3]));
        Field(6, "bNumEndpoints", Decimal(d[4]));
        Field(6, "bInterfaceClass", Decimal(d[5]) + (d[5] == 0xFF ? " Vendor Specific Class" : ""));
        Field(6, "bInterfaceSubClass", Decimal(d[6]));
        Field(6, "bInterfaceProtocol", Decimal(d[7]));
        Field(6, "iInterface", Decimal(d[8]));
    }

    void Endpoint(const uint8_t* d, size_t length)
    {
        static constexpr const char* kTypes[] = {"Control", "Isochronous", "Bulk", "Interrupt"};
        Line(6, "Endpoint Descriptor:");
        Field(8, "bLength", Decimal(d[0]));
        Field(8, "bDescriptorType", Decimal(d[1]));
        if (length < 7) {
            Line(8, "(malformed: " + std::to_string(length) + " bytes, 7 needed)");
            return;
        }
        Field(8, "bEndpointAddress", Hex(d[2], 2) + "  EP " + std::to_string(d[2] & 0x0F) +
                                         ((d[2] & 0x80) ? " IN" : " OUT"));
        Field(8, "bmAttributes", Decimal(d[3]));
        Line(10, std::string("Transfer Type            ") + kTypes[d[3] & 3]);
        unsigned packet = Word(d + 4);
        Field(8, "wMaxPacketSize", Hex(packet, 4) + "  " + std::to_string(((packet >> 11) & 3) + 1) + "x " +
                                       std::to_string(packet & 0x7FF) + " bytes");
        Field(8, "bInterval", Decimal(d[6]));
    }

    void Other(int indent, const uint8_t* d, size_t length)
    {
        Line(indent, "Unknown descriptor type 0x" + HexBytes(d + 1, 1) + ", " + std::to_string(length) +
                         " bytes: " + HexBytes(d, length));
    }

    static unsigned Word(const uint8_t* p) { return static_cast<unsigned>(p[0] | (p[1] << 8)); }
};

}  // namespace

std::string DescribeDescriptors(const std::vector<uint8_t>& device, const std::vector<uint8_t>& configuration)
{
    Describer out;
    if (!device.empty())
        out.Device(device.data(), device.size());
    size_t offset = 0;
    int depth = 2;  // indentation of a descriptor that follows: under its interface or configuration
    while (offset < configuration.size()) {
        const uint8_t* d = configuration.data() + offset;
        size_t left = configuration.size() - offset;
        if (left < 2 || d[0] < 2) {
            out.Line(depth, "(malformed: descriptor at byte " + std::to_string(offset) + " has length " +
                                std::to_string(left < 2 ? left : d[0]) + ")");
            break;
        }
        size_t length = d[0] <= left ? d[0] : left;
        if (d[0] > left)
            out.Line(depth, "(truncated: descriptor at byte " + std::to_string(offset) + " claims " +
                                std::to_string(d[0]) + " bytes, " + std::to_string(left) + " left)");
        switch (d[1]) {
        case kConfigurationType: out.Configuration(d, length); depth = 4; break;
        case kInterfaceType: out.Interface(d, length); depth = 6; break;
        case kEndpointType: out.Endpoint(d, length); break;
        case kDeviceType: out.Device(d, length); break;
        default: out.Other(depth, d, length); break;
        }
        offset += length;
    }
    return out.text;
}

}  // namespace session
