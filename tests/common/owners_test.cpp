#include "common/com_owners.h"
#include "common/heap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

namespace {

using zorva::ComPtr;

// A COM object that offers IPersist (and IUnknown) and counts its references.
class Counted final : public IPersist {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        *object = iid == IID_IUnknown || iid == IID_IPersist ? this : nullptr;
        return *object != nullptr ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) override { return E_NOTIMPL; }

    ULONG references = 1;  // the one a ComPtr adopts
};

ComPtr<IPersist> Holding(Counted& object)
{
    ComPtr<IPersist> pointer;
    *pointer.put() = &object;
    return pointer;
}

TEST(ComPtr, MoveHandsTheReferenceOverAndAssignmentReleasesTheOldOne)
{
    Counted first;
    Counted second;
    {
        ComPtr<IPersist> source = Holding(first);
        ComPtr<IPersist> target(std::move(source));
        EXPECT_FALSE(source);
        EXPECT_EQ(target.get(), &first);
        ComPtr<IPersist> other = Holding(second);
        other = std::move(target);
        EXPECT_EQ(second.references, 0u);
        EXPECT_EQ(other.get(), &first);
        EXPECT_EQ(first.references, 1u);
    }
    EXPECT_EQ(first.references, 0u);
}

TEST(ComPtr, QueryOnAnEmptyPointerAnswersEPointerAndEmptiesTheTarget)
{
    Counted object;
    ComPtr<IUnknown> target;
    *target.put() = &object;
    EXPECT_EQ(ComPtr<IPersist>().query_to(target), E_POINTER);
    EXPECT_FALSE(target);
    EXPECT_EQ(object.references, 0u);
    EXPECT_FALSE(ComPtr<IPersist>().try_query<IUnknown>());
}

TEST(ComPtr, TryQueryGivesTheInterfaceOrAnEmptyPointerWhenItIsMissing)
{
    Counted object;
    const ComPtr<IPersist> pointer = Holding(object);
    EXPECT_FALSE(pointer.try_query<IStream>());
    EXPECT_EQ(object.references, 1u);
    const ComPtr<IUnknown> unknown = pointer.try_query<IUnknown>();
    EXPECT_TRUE(unknown);
    EXPECT_EQ(object.references, 2u);
}

// Sizes whose byte count wraps round to a few bytes: malloc would hand out a block too
// small for the elements asked for.
TEST(HeapArray, AnArrayWhoseSizeOverflowsIsWantOfMemory)
{
    EXPECT_FALSE(zorva::AllocateArray<wchar_t>(SIZE_MAX / sizeof(wchar_t) + 5));
    EXPECT_FALSE(zorva::AllocateArray<DWORD>(SIZE_MAX / sizeof(DWORD) + 2));
    EXPECT_TRUE(zorva::AllocateArray<DWORD>(2));
}

}  // namespace
