#!/usr/bin/python3
"""Builds the BCD stores the Windows boot manager of a PXE client reads.

usage: make-bcd.py OUTDIR LOADER

Writes OUTDIR/bcd_tftp_<size>, bcd_bios_tftp_<size> and bcd_uefi_tftp_<size> for each TFTP block
size. Each store is a registry hive with the boot manager, the ramdisk options (SDI path, TFTP
block size and window size) and a WinPE loader that boots the WIM placed by the Windows plug-in
for that loader tree ("_ISO1" names for iPXE). PLUG_OSPREY copies the stores of the configured
block size into place at service start.
"""
import os
import struct
import sys
import uuid

import hivex

BLOCK_SIZES = (1408, 2048, 4096, 8192, 16384)
TFTP_WINDOW = 4
BOOTMGR = '{9dea862c-5cdd-4e70-acc1-f32b344d4795}'
RAMDISK_OPTIONS = '{ae5534e0-a924-466c-b836-758539a3ee3a}'
WINPE_LOADER = '{7619dcc8-fafe-11d9-b411-000476eba25f}'
REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 3, 4, 7


def empty_hive(path, root_name):
    """A hive holding only its root key: hivex edits hives but does not create them."""
    name = root_name.encode('ascii')
    # Security cell: a self-relative descriptor with no owner, group or DACL.
    sd = struct.pack('<BBHIIII', 1, 0, 0x8004, 0, 0, 0, 0)
    sk_off = 0x20
    sk = b'sk' + b'\0\0' + struct.pack('<IIII', sk_off, sk_off, 1, len(sd)) + sd
    sk_cell = struct.pack('<i', -pad8(len(sk) + 4)) + sk
    sk_cell += b'\0' * (pad8(len(sk) + 4) - len(sk_cell))
    nk_off = sk_off + len(sk_cell)
    nk = (b'nk' + struct.pack('<H', 0x2c) + b'\0' * 8 + struct.pack('<I', 0) + struct.pack('<I', 0)
          + struct.pack('<IIIiiIi', 0, 0, 0xffffffff, -1, 0, 0xffffffff, sk_off)
          + struct.pack('<i', -1) + struct.pack('<IIIII', 0, 0, 0, 0, 0)
          + struct.pack('<HH', len(name), 0) + name)
    nk_cell = struct.pack('<i', -pad8(len(nk) + 4)) + nk
    nk_cell += b'\0' * (pad8(len(nk) + 4) - len(nk_cell))
    used = 0x20 + len(sk_cell) + len(nk_cell)
    free = struct.pack('<i', 0x1000 - used)
    hbin = (b'hbin' + struct.pack('<IIII', 0, 0x1000, 0, 0) + b'\0' * 8 + struct.pack('<I', 0)
            + sk_cell + nk_cell + free)
    hbin += b'\0' * (0x1000 - len(hbin))
    header = bytearray(0x1000)
    header[0:4] = b'regf'
    struct.pack_into('<IIQIIIIIII', header, 4, 1, 1, 0, 1, 3, 0, 1, nk_off, 0x1000, 1)
    file_name = 'BCD'.encode('utf-16-le')
    header[0x30:0x30 + len(file_name)] = file_name
    checksum = 0
    for i in range(0, 0x1fc, 4):
        checksum ^= struct.unpack_from('<I', header, i)[0]
    struct.pack_into('<I', header, 0x1fc, checksum)
    with open(path, 'wb') as f:
        f.write(bytes(header) + hbin)


def pad8(n):
    return (n + 7) & ~7


def sz(text):
    return {'key': 'Element', 't': REG_SZ, 'value': (text + '\0').encode('utf-16-le')}


def multi_sz(items):
    return {'key': 'Element', 't': REG_MULTI_SZ,
            'value': ''.join(i + '\0' for i in items).encode('utf-16-le') + b'\0\0'}


def integer(n):
    return {'key': 'Element', 't': REG_BINARY, 'value': struct.pack('<Q', n)}


def boolean(b):
    return {'key': 'Element', 't': REG_BINARY, 'value': bytes([1 if b else 0])}


def boot_device_descriptor():
    # The device the boot manager itself came from: for a PXE client the TFTP server.
    return struct.pack('<IIII', 5, 1, 0x48, 0) + b'\0' * (0x48 - 16)


def device(descriptor, options=None):
    guid = uuid.UUID(options).bytes_le if options else b'\0' * 16
    return {'key': 'Element', 't': REG_BINARY,
            'value': guid + struct.pack('<IIII', 0, 1, len(descriptor) + 16, 0) + descriptor}


def ramdisk_descriptor(path):
    # A ramdisk loaded from a file of the boot device: the parent descriptor, then the path.
    parent = boot_device_descriptor()
    text = (path + '\0').encode('utf-16-le')
    body = struct.pack('<IIII', 3, 0, 16 + len(parent) + len(text), 0) + parent + text
    return body


def add_object(h, objects, guid, obj_type, elements):
    node = h.node_add_child(objects, guid)
    desc = h.node_add_child(node, 'Description')
    h.node_set_value(desc, {'key': 'Type', 't': REG_DWORD, 'value': struct.pack('<I', obj_type)})
    elems = h.node_add_child(node, 'Elements')
    for code, value in elements:
        h.node_set_value(h.node_add_child(elems, code), value)


def build_store(path, sdi, wim, block_size, uefi):
    empty_hive(path, 'NewStoreRoot')
    h = hivex.Hivex(path, write=True)
    root = h.root()
    desc = h.node_add_child(root, 'Description')
    h.node_set_value(desc, {'key': 'KeyName', 't': REG_SZ, 'value': 'BCD00000000\0'.encode('utf-16-le')})
    h.node_set_value(desc, {'key': 'System', 't': REG_DWORD, 'value': struct.pack('<I', 1)})
    h.node_set_value(desc, {'key': 'TreatAsSystem', 't': REG_DWORD, 'value': struct.pack('<I', 1)})
    objects = h.node_add_child(root, 'Objects')
    add_object(h, objects, BOOTMGR, 0x10100002, [
        ('11000001', device(boot_device_descriptor())),
        ('12000004', sz('Windows Boot Manager')),
        ('23000003', sz(WINPE_LOADER)),
        ('24000001', multi_sz([WINPE_LOADER])),
        ('25000004', integer(0)),
    ])
    add_object(h, objects, RAMDISK_OPTIONS, 0x30000000, [
        ('12000004', sz('Ramdisk Options')),
        ('31000003', device(boot_device_descriptor())),
        ('32000004', sz(sdi)),
        ('35000007', integer(block_size)),
        ('35000008', integer(TFTP_WINDOW)),
    ])
    ramdisk = device(ramdisk_descriptor(wim), RAMDISK_OPTIONS)
    loader = '\\windows\\system32\\boot\\winload.' + ('efi' if uefi else 'exe')
    add_object(h, objects, WINPE_LOADER, 0x10200003, [
        ('11000001', ramdisk),
        ('12000002', sz(loader)),
        ('12000004', sz('KIVPXE Windows PE')),
        ('21000001', ramdisk),
        ('22000002', sz('\\windows')),
        ('26000010', boolean(True)),
        ('26000022', boolean(True)),
    ])
    h.commit(path)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    outdir, loader = sys.argv[1], sys.argv[2]
    suffix = '_ISO1' if loader == 'ipxe' else ''
    sdi = '\\boot\\boot%s.sdi' % suffix
    wim = '\\boot\\KIVBoot%s.wim' % suffix
    os.makedirs(outdir, exist_ok=True)
    for size in BLOCK_SIZES:
        for name, uefi in (('bcd', False), ('bcd_bios', False), ('bcd_uefi', True)):
            path = os.path.join(outdir, '%s_tftp_%u' % (name, size))
            build_store(path + '.tmp', sdi, wim, size, uefi)
            os.replace(path + '.tmp', path)


if __name__ == '__main__':
    main()
