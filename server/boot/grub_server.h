// The server a GRUB image loads its menu from. GRUB takes it from the firmware's DHCP
// acknowledgement, which in proxyDHCP mode comes from the site's DHCP server, not from us; so
// the early configuration embedded in our GRUB images (tools/datadir/grub-early.cfg) holds a
// field "set kiv_server=...", padded with spaces to a fixed width, that kivpxe fills with its own
// address at each start. BIOS images hold their configuration compressed: they keep GRUB's own
// choice, the server of the firmware's acknowledgement.
#pragma once

#include <string>

// Fills the field in an image's bytes; false when the image has no field or the address is
// longer than the field.
bool GRUB_FillServerField(std::string &strImage, const std::string &strAddress);

// Writes strAddress into every GRUB image with the field among the plain files of the loader
// trees "grub2" and "ipxe" under the current directory (links lead to those files). Images whose
// field already holds it are left untouched. Returns how many images carry the field.
int GRUB_WriteServerAddress(const std::string &strAddress);
