#include "coinstaller/other_units.h"

#include "common/heap.h"
#include "common/unique_resource.h"

#include <cfgmgr32.h>

#include <cstring>

namespace zorva {
namespace {

// Room for the hardware IDs of most devices at the first attempt, in characters.
constexpr DWORD kFirstIdsCapacity = 512;

enum class IdsRead { Read, NoneStored, Failed };

// A device's hardware IDs, a REG_MULTI_SZ, in a buffer that grows when a device needs more.
class HardwareIds {
public:
    [[nodiscard]] IdsRead Read(HDEVINFO set, PSP_DEVINFO_DATA device) noexcept
    {
        // A list that grows between the two reads is not chased any further.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!Reserve(attempt == 0 ? kFirstIdsCapacity : needed_ / sizeof(wchar_t) + 1)) {
                return IdsRead::Failed;
            }
            // Two terminators beyond what the device stored, whatever it stored.
            std::memset(ids_.get(), 0, (capacity_ + 2) * sizeof(wchar_t));
            needed_ = 0;
            if (SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, nullptr,
                                                  reinterpret_cast<BYTE*>(ids_.get()), capacity_ * sizeof(wchar_t),
                                                  &needed_)) {
                return ids_[0] != L'\0' ? IdsRead::Read : IdsRead::NoneStored;
            }
            const DWORD error = GetLastError();
            if (error == ERROR_INVALID_DATA) {
                return IdsRead::NoneStored;
            }
            if (error != ERROR_INSUFFICIENT_BUFFER || needed_ / sizeof(wchar_t) <= capacity_) {
                return IdsRead::Failed;
            }
        }
        return IdsRead::Failed;
    }

    const wchar_t* First() const noexcept { return ids_.get(); }

    [[nodiscard]] bool Contains(const wchar_t* id) const noexcept
    {
        for (const wchar_t* own = ids_.get(); *own != L'\0'; own += lstrlenW(own) + 1) {
            if (CompareStringOrdinal(own, -1, id, -1, TRUE) == CSTR_EQUAL) {
                return true;
            }
        }
        return false;
    }

private:
    [[nodiscard]] bool Reserve(DWORD capacity) noexcept
    {
        if (capacity <= capacity_) {
            return true;
        }
        ids_ = AllocateArray<wchar_t>(static_cast<size_t>(capacity) + 2);
        capacity_ = ids_ ? capacity : 0;
        return static_cast<bool>(ids_);
    }

    HeapArray<wchar_t> ids_;
    DWORD capacity_ = 0;  // characters, the two added terminators not counted
    DWORD needed_ = 0;    // bytes, as SetupAPI last reported
};

[[nodiscard]] bool ReadInstanceId(HDEVINFO set, PSP_DEVINFO_DATA device, wchar_t (&id)[MAX_DEVICE_ID_LEN]) noexcept
{
    return SetupDiGetDeviceInstanceIdW(set, device, id, MAX_DEVICE_ID_LEN, nullptr) != FALSE;
}

}  // namespace

bool AnotherUnitIsInstalled(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData) noexcept
{
    if (deviceInfoSet == nullptr || deviceInfoSet == INVALID_HANDLE_VALUE || deviceInfoData == nullptr) {
        return false;
    }
    HardwareIds own;
    wchar_t ownInstanceId[MAX_DEVICE_ID_LEN];
    if (own.Read(deviceInfoSet, deviceInfoData) != IdsRead::Read ||
        !ReadInstanceId(deviceInfoSet, deviceInfoData, ownInstanceId)) {
        return false;
    }
    // Every device of the class that the registry knows, not only the present ones: a unit
    // that is switched off or out of reach is still installed.
    const UniqueDevInfo devices(SetupDiGetClassDevsW(&deviceInfoData->ClassGuid, nullptr, nullptr, 0));
    if (!devices) {
        return false;
    }
    HardwareIds theirs;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    // The enumeration ends with ERROR_NO_MORE_ITEMS, or with a failure: neither found one.
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices.get(), index, &device); ++index) {
        const IdsRead read = theirs.Read(devices.get(), &device);
        if (read == IdsRead::Failed) {
            return false;
        }
        if (read == IdsRead::NoneStored || !theirs.Contains(own.First())) {
            continue;
        }
        wchar_t instanceId[MAX_DEVICE_ID_LEN];
        if (!ReadInstanceId(devices.get(), &device, instanceId)) {
            return false;
        }
        if (CompareStringOrdinal(instanceId, -1, ownInstanceId, -1, TRUE) != CSTR_EQUAL) {
            return true;
        }
    }
    return false;
}

}  // namespace zorva
