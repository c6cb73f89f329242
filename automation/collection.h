// The collection object the listings return: an ordered, 1-based sequence
// of Variants, optionally keyed, read with Count, Item and enumeration.
#pragma once

#include "automation/interfaces.h"
#include "automation/values.h"

namespace vh {

// A new, empty collection with one reference, owned by the caller.
ComPtr<_Collection> make_collection();

// Error raised by Add for a key already in use.
namespace err {
constexpr int duplicate_key = 457;
}

}  // namespace vh
