"""Prints what Windows shows of a PE file's version (release_test.sh version).

    pe_version.py FILE [MANIFEST-OUT]

One "name=value" line each: resources (type/id of every resource), the fixed
file and product versions, then each string of the version resource. With
MANIFEST-OUT, the manifest resource's bytes are written there.
"""
import sys

import pefile

path = sys.argv[1]
pe = pefile.PE(path)
resources = []
kinds = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []
for kind in kinds:
    for entry in kind.directory.entries:
        resources.append("%s/%s" % (pefile.RESOURCE_TYPE.get(kind.id, kind.id), entry.id))
        if kind.id == pefile.RESOURCE_TYPE["RT_MANIFEST"] and len(sys.argv) > 2:
            data = entry.directory.entries[0].data.struct
            with open(sys.argv[2], "wb") as out:
                out.write(pe.get_data(data.OffsetToData, data.Size))
print("resources=" + " ".join(resources))


def dotted(high, low):
    return "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)


for fixed in getattr(pe, "VS_FIXEDFILEINFO", []):
    print("fixed FileVersion=" + dotted(fixed.FileVersionMS, fixed.FileVersionLS))
    print("fixed ProductVersion=" + dotted(fixed.ProductVersionMS, fixed.ProductVersionLS))
for info in getattr(pe, "FileInfo", []):
    for block in info:
        for table in getattr(block, "StringTable", []):
            for name, value in sorted(table.entries.items()):
                print("%s=%s" % (name.decode(), value.decode()))
