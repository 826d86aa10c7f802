// SPDX-License-Identifier: MIT
// The binding's own records behind the handles of identifiers, locations and filters, and how they are made.
#pragma once

#include <cstdint>

#include "jni_runtime.h"

namespace nimbet::jni {

// Behind a NimbetSrcId handle. Owned by the Java object, freed by delete_1NimbetSrcId.
//
// Records may be read by several threads at once and freed from any thread
// (the Java side's cleaner runs on a thread of its own); what a record builds
// lazily is published atomically, so readers see it whole or not at all.
struct SrcIdRecord {
    static constexpr const char *kWhat = "id";  // names the argument when a handle is null
    unsigned char bytes[kIdLen];
    char *text;  // malloc'd dotted text once built, or the caller's text for an identifier made from text
};

// Behind a NimbetLocation handle. The parts are filled on the first request
// for one of them; the bytes never change, so the parts stay valid.
struct LocationRecord {
    static constexpr const char *kWhat = "location";
    unsigned char bytes[kLocLen];
    char *text;  // as for the identifier
    unsigned char root[16];
    char node[4][10];  // nine characters and a terminator each
    std::int32_t x, y, z;
    std::uint8_t deviation;
    bool decoded;  // set, with release ordering, once the parts above are filled
};

// Behind a NimbetFilter handle.
struct FilterRecord {
    static constexpr const char *kWhat = "filter";
    int chain;   // chain number; -1 after a failed creation or add
    char *name;  // malloc'd copy of the name; the chain keeps this very pointer as its name
};

// New records holding a copy of the bytes, without text; null when out of memory.
SrcIdRecord *new_srcid_record(const unsigned char *bytes);
LocationRecord *new_location_record(const unsigned char *bytes);

// A new record holding a copy of bytes that a library getter returned, as a
// handle for the caller; a null `bytes` (the getter failed) is marked as a
// null result and gives the null handle.
jlong srcid_handle_of(const unsigned char *bytes);
jlong location_handle_of(const unsigned char *bytes);

// The record's text, built as dotted decimal and kept in the record if it has
// none; null (failure marked, error number -1) when it cannot be built. Safe
// in several threads at once: one text is kept, the others are dropped.
const char *srcid_text(SrcIdRecord *id);
const char *location_text(LocationRecord *loc);

}  // namespace nimbet::jni
