// The owed-defaults mark: a sign the unit itself keeps that an update run owes it its default
// values, so that a run interrupted after the new control firmware runs but before they were
// programmed is finished by the next run on any PC, whatever the control firmware then reads.
//
// Where it lives: in the package version field (memory 0x33-0x37, written with the package
// version request 2,3), as "~" followed by the four characters that the field held before.
// - The field is the program's own: the device only keeps it, so nothing of the device's
//   behaviour changes while the mark is there; every other memory cell is one of its settings.
// - Programming the default values (14,0) keeps the field, so the mark outlasts them until the
//   run takes it away, and outlasts a power cycle and the control firmware download alike.
// - A unit in the middle of an update does not deserve its package version anyway: while the
//   mark is there no tool reads an up-to-date package version from it.
// - The four characters kept after "~" are put back when the default values are programmed, so
//   that a run which then leaves the package version alone (-nomicro, -nofpga) leaves the field
//   as it was. A package version is at most four characters, and "~" begins none.
//
// Threads: the update worker (or the thread that inspects the unit), which is then the session's
// only user. Errors: USBUtils::Error from the requests, as any request.
#pragma once

#include <string>

class USBUtils;

namespace bvu {
namespace owed_defaults {

// What the package version field holds.
struct PackageField {
    bool marked = false;  // the mark is there: the default values are owed
    std::string text;     // the package version; with the mark, the text kept under it
};

// The first character of a marked field.
constexpr char kMark = '~';

// Interprets what the package version reader (4 characters from 0x33, read whole) gave; reads
// the whole field only when the mark is there (a field without it costs no request of its own).
// Throws USBUtils::Error when that read brings less than the field.
PackageField readPackageField(USBUtils& usb, const std::string& packageText);
// Reads the field: the package version request, then as above. Throws USBUtils::Error for a
// reply cut short, on which no decision can be taken.
PackageField readPackageField(USBUtils& usb);

// Leaves the mark over the field that held packageText (its first four characters are kept).
void mark(USBUtils& usb, const std::string& packageText);
// Takes the mark away: the field holds keptText again, as the package version request writes it.
void clear(USBUtils& usb, const std::string& keptText);

}  // namespace owed_defaults
}  // namespace bvu
