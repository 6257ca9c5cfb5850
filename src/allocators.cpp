#include "allocators.h"

#include <algorithm>
#include <new>

extern "C" {
int64_t size = 0;
uint64_t arrSize = 0;
uint64_t newptr = 0;
}

namespace {

constexpr size_t kCountBytes = sizeof(uint64_t);

uint64_t* countWord(void* first)
{
    return reinterpret_cast<uint64_t*>(static_cast<char*>(first) - kCountBytes);
}

// A block in the form of the array new for T: the count word, then n
// elements, the first max(0, keep) of them copied from src and the rest
// default-constructed. Its release is the plain delete[] of T*. Returns null
// when memory runs out.
template <class T>
T* makeArray(uint64_t n, const T* src, uint64_t keep)
{
    void* block = ::operator new[](kCountBytes + n * sizeof(T), std::nothrow);
    if (!block)
        return nullptr;
    *static_cast<uint64_t*>(block) = n;
    T* first = reinterpret_cast<T*>(static_cast<char*>(block) + kCountBytes);
    for (uint64_t i = 0; i < n; ++i) {
        if (i < keep)
            new (first + i) T(src[i]);
        else
            new (first + i) T();
    }
    return first;
}

template <class T>
bool resize(T*& arr, int n)
{
    ::size = n;
    const uint64_t count = n > 0 ? static_cast<uint64_t>(n) : 0;
    if (!arr) {
        T* fresh = makeArray<T>(count, nullptr, 0);
        if (!fresh)
            return false;
        arr = fresh;
        return true;
    }
    const uint64_t old = *countWord(arr);
    ::arrSize = reinterpret_cast<uint64_t>(countWord(arr));
    if (count == old)
        return true;
    // A new block rather than realloc: memory from the array new must only be
    // released by the array delete.
    T* fresh = makeArray<T>(count, arr, std::min(old, count));
    if (!fresh)
        return false;
    delete[] arr;
    arr = fresh;
    ::arrSize = reinterpret_cast<uint64_t>(countWord(arr));
    ::newptr = ::arrSize;
    return true;
}

} // namespace

namespace brova {
namespace alloc {

bool reallocPackArray(BrovaPackage*& arr, int n)
{
    return resize(arr, n);
}

bool reallocPackArray(BrovaPackage6D*& arr, int n)
{
    return resize(arr, n);
}

} // namespace alloc
} // namespace brova
