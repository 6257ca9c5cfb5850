#include <gtest/gtest.h>

#include "allocators.h"

namespace {

template <class T>
uint64_t countOf(const T* arr)
{
    return reinterpret_cast<const uint64_t*>(arr)[-1];
}

uint64_t blockOf(const void* arr)
{
    return reinterpret_cast<uint64_t>(arr) - sizeof(uint64_t);
}

} // namespace

TEST(ReallocPackArray, GrowShrinkKeepValuesAndTrackTheBlock)
{
    BrovaPackage* arr = nullptr;
    arrSize = newptr = 0;
    ASSERT_TRUE(brova::alloc::reallocPackArray(arr, 3));
    ASSERT_NE(arr, nullptr);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(countOf(arr), 3u);
    EXPECT_EQ(arrSize, 0u);  // a fresh array touches neither address
    EXPECT_EQ(newptr, 0u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(arr[i].isCorrect());
        arr[i].s1 = 10 + i;
        arr[i].version = BROVA_STREAM_3AXIS;
    }

    ASSERT_TRUE(brova::alloc::reallocPackArray(arr, 5));
    EXPECT_EQ(size, 5);
    EXPECT_EQ(countOf(arr), 5u);
    EXPECT_EQ(arrSize, blockOf(arr));
    EXPECT_EQ(newptr, blockOf(arr));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(arr[i].s1, 10 + i);
    EXPECT_FALSE(arr[3].isCorrect());
    EXPECT_EQ(arr[4].config.to_uin8_t(), 0xB0);

    ASSERT_TRUE(brova::alloc::reallocPackArray(arr, 2));
    EXPECT_EQ(countOf(arr), 2u);
    EXPECT_EQ(arr[1].s1, 11);
    EXPECT_EQ(newptr, blockOf(arr));

    // An equal count changes nothing but records the block.
    BrovaPackage* same = arr;
    newptr = 0;
    ASSERT_TRUE(brova::alloc::reallocPackArray(arr, 2));
    EXPECT_EQ(arr, same);
    EXPECT_EQ(arrSize, blockOf(arr));
    EXPECT_EQ(newptr, 0u);

    delete[] arr;  // released by the plain array delete (checked by ASan)
}

TEST(ReallocPackArray, EmptyArraysAreRealAndNegativeCountsAreEmpty)
{
    BrovaPackage* arr = nullptr;
    ASSERT_TRUE(brova::alloc::reallocPackArray(arr, 0));
    ASSERT_NE(arr, nullptr);
    EXPECT_EQ(countOf(arr), 0u);
    EXPECT_EQ(size, 0);
    ASSERT_TRUE(brova::alloc::reallocPackArray(arr, 4));  // from zero
    EXPECT_EQ(countOf(arr), 4u);
    ASSERT_TRUE(brova::alloc::reallocPackArray(arr, -3));
    EXPECT_EQ(size, -3);
    EXPECT_EQ(countOf(arr), 0u);
    delete[] arr;
}

TEST(ReallocPackArray, SixAxisArrays)
{
    BrovaPackage6D* arr = nullptr;
    ASSERT_TRUE(brova::alloc::reallocPackArray(arr, 2));
    arr[0].Fx = 5;
    arr[1].sensor4.s1 = 9;
    ASSERT_TRUE(brova::alloc::reallocPackArray(arr, 6));
    EXPECT_EQ(countOf(arr), 6u);
    EXPECT_EQ(arr[0].Fx, 5);
    EXPECT_EQ(arr[1].sensor4.s1, 9);
    EXPECT_EQ(arr[5].Fx, 0);
    ASSERT_TRUE(brova::alloc::reallocPackArray(arr, 1));
    EXPECT_EQ(arr[0].Fx, 5);
    delete[] arr;
}

TEST(ReallocPackArray, TheArrayNewFormIsTheSame)
{
    // An array made by the array new can be handed in and resized: both use
    // the count word in front of the elements.
    BrovaPackage* arr = new BrovaPackage[3];
    EXPECT_EQ(countOf(arr), 3u);
    arr[2].aux = 77;
    ASSERT_TRUE(brova::alloc::reallocPackArray(arr, 4));
    EXPECT_EQ(arr[2].aux, 77);
    delete[] arr;
}
