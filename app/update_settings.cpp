#include "app/update_settings.h"

UpdateSettings& updateSettings() {
    static UpdateSettings settings;
    return settings;
}
