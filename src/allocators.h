/// \file
/// Package arrays handed to callers by readAll and readAll6D.
///
/// An array is one heap block: a 64-bit element count, immediately followed by
/// the elements; the caller's pointer points at the first element. This is the
/// form the array new produces for an element type with a destructor, so the
/// caller releases an array with the matching array delete:
///
///     delete[] arr;            // BrovaPackage* or BrovaPackage6D*
///
/// (hosts of the flat interface call callDeletePackageArray instead). The
/// count can be read at ((const uint64_t*)arr)[-1].
#pragma once

#include <cstdint>

#include "brovapackage.h"
#include "brovapackage6d.h"
#include "brv_global.h"

extern "C" {
/// \name Traces of the latest resize
/// Written only by reallocPackArray; zero at load.
///@{

/// The element count asked for by the latest call.
BRV_EXPORT extern int64_t size;
/// The address of the count word (the block start) of the array most
/// recently resized. Despite its name, an address.
BRV_EXPORT extern uint64_t arrSize;
/// The address of the block most recently returned by a resize.
BRV_EXPORT extern uint64_t newptr;
///@}
}

/// The library's namespace for helpers outside its classes.
namespace brova {
/// Package arrays (see allocators.h).
namespace alloc {

/// Makes arr an array of n elements.
/// - arr null: a new array of n default elements (n = 0 gives a valid, empty
///   array that must still be released). arrSize and newptr are not touched.
/// - otherwise arr must come from this function or from a readAll call. The
///   first min(old count, n) elements keep their values, new ones are default.
///   The array moves to a new block whenever the count changes: take the new
///   pointer from arr. An equal count changes nothing.
///
/// A negative n is taken as 0. When memory runs out, arr is left as it was
/// and the call returns false (it never throws).
/// Ownership: the caller owns arr afterwards and releases it with delete[].
BRV_EXPORT bool reallocPackArray(BrovaPackage*& arr, int n);
/// The same for an array of six-axis packages.
BRV_EXPORT bool reallocPackArray(BrovaPackage6D*& arr, int n);

} // namespace alloc
} // namespace brova
