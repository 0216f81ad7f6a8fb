// The firmware updaters: USBTarselUpdater<0> writes the video firmware, USBTarselUpdater<1>
// the control firmware, each from the image record its ImageProvider gives.
#pragma once

#include <string>

#include "update/image_provider.h"
#include "update/usbupdater.h"

template <int N>
class USBTarselUpdater : public USBUpdater {
    static_assert(N == 0 || N == 1, "0 is the video firmware, 1 the control firmware");

  public:
    static constexpr ImageKind kind = N == 0 ? ImageKind::Video : ImageKind::Control;

    // Writes the records this program carries.
    USBTarselUpdater();
    // Writes the records of another provider, which must outlive the updater.
    explicit USBTarselUpdater(const ImageProvider& provider);
    ~USBTarselUpdater() override;

    // The carried image's version ("1.02" video, "1.12" control, unless the build carries
    // others); neither asks the provider nor touches the device.
    std::string version() const override;

    // Gets the record, unpacks it if it is packed and runs the download procedure. A record
    // that cannot be had, is malformed, or holds an image that cannot be written is refused
    // with BVExBase before any device request; the procedure's failures pass unchanged.
    void update() override;

  private:
    const ImageProvider* provider_;
};

extern template class USBTarselUpdater<0>;
extern template class USBTarselUpdater<1>;
