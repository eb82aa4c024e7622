#include "SharedDevices.h"

namespace media {

std::unique_ptr<TSysDevEnum> DeviceEnumerator;
TEnumMediaType VideoPinTypes;
TEnumMediaType AudioPinTypes;
std::unique_ptr<TMediaType> CurrentVideoFormat;

TSysDevEnum& deviceEnumerator() {
    if (!DeviceEnumerator)
        DeviceEnumerator = std::make_unique<TSysDevEnum>(CLSID_AudioInputDeviceCategory);
    return *DeviceEnumerator;
}

} // namespace media
