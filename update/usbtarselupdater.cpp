#include "update/usbtarselupdater.h"

#include "update/embedded_images.h"
#include "usb/bvexbase.h"

template <int N>
USBTarselUpdater<N>::USBTarselUpdater() : provider_(&bvu::embedded::imageProvider()) {}

template <int N>
USBTarselUpdater<N>::USBTarselUpdater(const ImageProvider& provider) : provider_(&provider) {}

template <int N>
USBTarselUpdater<N>::~USBTarselUpdater() = default;

template <int N>
std::string USBTarselUpdater<N>::version() const {
    return bvu::embedded::carriedVersion(kind);
}

template <int N>
void USBTarselUpdater<N>::update() {
    const std::vector<unsigned char> record = provider_->imageRecord(kind);
    if (record.size() > bvu::image::recordCapacity(kind))
        throw BVError(
            "The firmware image record is malformed: it is larger than the program "
            "can carry.");
    const bvu::image::RecordView view = bvu::image::parseRecord(record.data(), record.size());
    if (kind == ImageKind::Control)
        bvu::image::checkControlImageLength(view.rawLength);

    if (!view.isPacked()) {
        if (N == 0)
            downloadVideoFirmware(view.data, view.rawLength);
        else
            downloadControlFirmware(view.data, view.rawLength);
        return;
    }
    boost::shared_array<unsigned char> image =
        unpackImage(view.data, view.packedLength, view.rawLength);
    if (N == 0)
        downloadVideoFirmware(image.get(), view.rawLength);
    else
        downloadControlFirmware(image.get(), view.rawLength);
}

template class USBTarselUpdater<0>;
template class USBTarselUpdater<1>;
