#include "analysis/walks.hpp"

namespace zarn {

std::vector<Point> read_dad_points(Reader &reader, const std::optional<std::vector<double>> &axis) {
    return axis ? read_dad_spectrum(reader, *axis) : read_spectrum(reader);
}

}  // namespace zarn
