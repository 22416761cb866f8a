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
constexpr uint8_t kAssociationType = 0x0B;
constexpr uint8_t kHidType = 0x21;
constexpr uint8_t kClassInterfaceType = 0x24;
constexpr uint8_t kClassEndpointType = 0x25;
constexpr uint8_t kCompanionType = 0x30;
constexpr uint8_t kCommunicationsClass = 0x02;
constexpr uint8_t kHidClass = 0x03;

// The base class codes USB-IF assigns, by the names lsusb gives them.
std::string ClassName(uint8_t code)
{
    static constexpr std::pair<uint8_t, const char*> kNames[] = {
        {0x00, "(Defined at Interface level)"}, {0x01, "Audio"}, {0x02, "Communications"},
        {0x03, "Human Interface Device"}, {0x05, "Physical Interface Device"}, {0x06, "Imaging"},
        {0x07, "Printer"}, {0x08, "Mass Storage"}, {0x09, "Hub"}, {0x0A, "CDC Data"},
        {0x0B, "Chip/SmartCard"}, {0x0D, "Content Security"}, {0x0E, "Video"}, {0x0F, "Personal Healthcare"},
        {0x10, "Audio/Video"}, {0x11, "Billboard"}, {0x12, "Type-C Bridge"}, {0xDC, "Diagnostic"},
        {0xE0, "Wireless"}, {0xEF, "Miscellaneous Device"}, {0xFE, "Application Specific Interface"},
        {0xFF, "Vendor Specific Class"},
    };
    for (const auto& [value, name] : kNames) {
        if (value == code)
            return std::string(" ") + name;
    }
    return {};
}

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
        Field(2, "bDeviceClass", Decimal(d[4]) + ClassName(d[4]));
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
        interfaceClass = d[5];
        Field(6, "bInterfaceClass", Decimal(d[5]) + ClassName(d[5]));
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

    void Association(const uint8_t* d, size_t length)
    {
        Line(4, "Interface Association:");
        Field(6, "bLength", Decimal(d[0]));
        Field(6, "bDescriptorType", Decimal(d[1]));
        if (length < 8) {
            Line(6, "(malformed: " + std::to_string(length) + " bytes, 8 needed)");
            return;
        }
        Field(6, "bFirstInterface", Decimal(d[2]));
        Field(6, "bInterfaceCount", Decimal(d[3]));
        Field(6, "bFunctionClass", Decimal(d[4]) + ClassName(d[4]));
        Field(6, "bFunctionSubClass", Decimal(d[5]));
        Field(6, "bFunctionProtocol", Decimal(d[6]));
        Field(6, "iFunction", Decimal(d[7]));
    }

    // The functional descriptors of a communications interface.
    void Communications(int indent, const uint8_t* d, size_t length)
    {
        struct Layout {
            uint8_t subtype;
            const char* title;
            std::vector<std::pair<const char*, int>> fields;  // name, size in bytes (2: a word, 0: the rest)
        };
        static const Layout kLayouts[] = {
            {0x00, "CDC Header:", {{"bcdCDC", 2}}},
            {0x01, "CDC Call Management:", {{"bmCapabilities", 1}, {"bDataInterface", 1}}},
            {0x02, "CDC ACM:", {{"bmCapabilities", 1}}},
            {0x06, "CDC Union:", {{"bMasterInterface", 1}, {"bSlaveInterface", 0}}},
            {0x0F, "CDC Ethernet:", {{"iMacAddress", 1}, {"bmEthernetStatistics", 4}, {"wMaxSegmentSize", 2},
                                     {"wNumberMCFilters", 2}, {"bNumberPowerFilters", 1}}},
        };
        if (length < 3) {
            Unnamed(indent, d, length);
            return;
        }
        for (const auto& layout : kLayouts) {
            if (layout.subtype != d[2])
                continue;
            Line(indent, layout.title);
            size_t at = 3;
            for (const auto& [name, size] : layout.fields) {
                if (size == 0 && at < length) {  // one line per byte left, as lsusb lists slave interfaces
                    for (; at < length; ++at)
                        Field(indent + 2, name, Decimal(d[at]));
                    return;
                }
                size_t take = static_cast<size_t>(size);
                if (take == 0 || at + take > length) {
                    Line(indent + 2, "(short: " + std::to_string(length) + " bytes)");
                    return;
                }
                Field(indent + 2, name, take == 2 ? Hex(Word(d + at), 4) : take == 1 ? Decimal(d[at]) : HexBytes(d + at, take));
                at += take;
            }
            return;
        }
        Line(indent, "CDC descriptor subtype 0x" + HexBytes(d + 2, 1) + ", " + std::to_string(length) +
                         " bytes: " + HexBytes(d, length));
    }

    void Hid(int indent, const uint8_t* d, size_t length)
    {
        Line(indent, "HID Device Descriptor:");
        if (length < 9) {
            Line(indent + 2, "(malformed: " + std::to_string(length) + " bytes, 9 needed)");
            return;
        }
        Field(indent + 2, "bcdHID", Bcd(Word(d + 2)));
        Field(indent + 2, "bCountryCode", Decimal(d[4]));
        Field(indent + 2, "bNumDescriptors", Decimal(d[5]));
        Field(indent + 2, "bDescriptorType", Decimal(d[6]) + (d[6] == 0x22 ? " Report" : ""));
        Field(indent + 2, "wDescriptorLength", Decimal(Word(d + 7)));
    }

    void Companion(int indent, const uint8_t* d, size_t length)
    {
        Line(indent, "SuperSpeed Endpoint Companion:");
        if (length < 6) {
            Line(indent + 2, "(malformed: " + std::to_string(length) + " bytes, 6 needed)");
            return;
        }
        Field(indent + 2, "bMaxBurst", Decimal(d[2]));
        Field(indent + 2, "bmAttributes", Hex(d[3], 2));
        Field(indent + 2, "wBytesPerInterval", Hex(Word(d + 4), 4));
    }

    // A descriptor of a class or of a later USB revision, named where known.
    void Other(int indent, const uint8_t* d, size_t length)
    {
        if (d[1] == kClassInterfaceType && interfaceClass == kCommunicationsClass)
            return Communications(indent, d, length);
        if (d[1] == kHidType && interfaceClass == kHidClass)
            return Hid(indent, d, length);
        if (d[1] == kCompanionType)
            return Companion(indent, d, length);
        Unnamed(indent, d, length);
    }

    // One line with the raw bytes, for a descriptor no decoder above knows
    // or one too short for its decoder. Never hands the descriptor back to
    // Other: a decoder that gives up must end here.
    void Unnamed(int indent, const uint8_t* d, size_t length)
    {
        std::string what = "Unknown descriptor type 0x" + HexBytes(d + 1, 1);
        if (d[1] == kClassInterfaceType)
            what = "Class-specific interface descriptor";
        if (d[1] == kClassEndpointType)
            what = "Class-specific endpoint descriptor";
        if ((d[1] == kClassInterfaceType || d[1] == kClassEndpointType) && interfaceClass >= 0)
            what += " (" + (ClassName(static_cast<uint8_t>(interfaceClass)).empty()
                                ? "class " + std::to_string(interfaceClass)
                                : ClassName(static_cast<uint8_t>(interfaceClass)).substr(1)) + ")";
        Line(indent, what + ", " + std::to_string(length) + " bytes: " + HexBytes(d, length));
    }

    int interfaceClass = -1;  // of the interface the descriptors that follow belong to

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
        case kAssociationType: out.Association(d, length); depth = 4; break;
        case kEndpointType: out.Endpoint(d, length); break;
        case kDeviceType: out.Device(d, length); break;
        default: out.Other(depth, d, length); break;
        }
        offset += length;
    }
    return out.text;
}

}  // namespace session
