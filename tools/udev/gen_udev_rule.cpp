// Writes, from the library's own table of USB serial bridge vendors, the
// udev rule for the sensors' serial ports and the AppStream metadata that
// names the same hardware (so that a software centre can offer the package
// when such a bridge is plugged in).
#include <cstdio>

#include "brovaports_p.h"

namespace {

bool writeMetainfo(const char* path)
{
    std::FILE* f = std::fopen(path, "w");
    if (!f)
        return false;
    std::fprintf(f,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<component type=\"driver\">\n"
                 "  <id>org.libbrv.libbrv1</id>\n"
                 "  <metadata_license>FSFAP</metadata_license>\n"
                 "  <name>libBRV</name>\n"
                 "  <summary>Driver library for USB-serial force sensors</summary>\n"
                 "  <description>\n"
                 "    <p>Access and low latency for force sensors of the BRV family behind USB serial bridges.</p>\n"
                 "  </description>\n"
                 "  <provides>\n");
    for (const BridgeVendor& v : bridgeVendors)
        std::fprintf(f, "    <modalias>usb:v%04Xp*</modalias>\n", static_cast<unsigned>(v.ids.vendorId));
    std::fprintf(f, "  </provides>\n</component>\n");
    return std::fclose(f) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: gen_udev_rule RULE-FILE METAINFO-FILE\n");
        return 2;
    }
    if (!writeMetainfo(argv[2]))
        return 1;
    std::FILE* f = std::fopen(argv[1], "w");
    if (!f)
        return 1;
    std::fprintf(f,
                 "# Serial ports of force sensors of the BRV family (libBRV), generated from the\n"
                 "# library's table of the USB serial bridges it looks for. The user logged in at\n"
                 "# the machine may open them (uaccess), and so may the dialout group (for remote\n"
                 "# sessions). FTDI bridges hold a partly filled USB packet until their latency\n"
                 "# timer runs out (16 ms by default): it is set to 1 ms.\n");
    for (const BridgeVendor& v : bridgeVendors)
        std::fprintf(f, "\n# %s\nSUBSYSTEM==\"tty\", ATTRS{idVendor}==\"%04x\", GROUP=\"dialout\", MODE=\"0660\", TAG+=\"uaccess\"\n",
                     v.name, static_cast<unsigned>(v.ids.vendorId));
    for (const BridgeVendor& v : bridgeVendors)
        if (v.ids.vendorId == ftdiVendor)
            std::fprintf(f, "\n# %s: the latency timer at 1 ms\nACTION==\"add\", SUBSYSTEM==\"usb-serial\", "
                            "ATTRS{idVendor}==\"%04x\", ATTR{latency_timer}=\"1\"\n",
                         v.name, static_cast<unsigned>(v.ids.vendorId));
    return std::fclose(f) == 0 ? 0 : 1;
}
