#include "input/volume_input.h"

namespace nimbrel {

void advance_slice_name(char *name, size_t dot) {
    for (size_t place = 1; place <= 4 && place <= dot; ++place) {
        unsigned char &digit = reinterpret_cast<unsigned char &>(name[dot - place]);
        if (digit != '9') {
            ++digit;
            return;
        }
        digit = '0';
    }
}

} // namespace nimbrel
