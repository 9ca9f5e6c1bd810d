#include "start/catalog.hpp"

namespace velotz {

std::optional<ModelSpec> model_by_name(std::string_view text) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    for (const ModelSpec& m : MODEL_SPECS) {
        std::string_view name(m.name);
        if (name.size() != text.size()) continue;
        bool equal = true;
        for (std::size_t i = 0; i < name.size() && equal; ++i) equal = lower(name[i]) == lower(text[i]);
        if (equal) return m;
    }
    return std::nullopt;
}

std::string quoted_model_names() {
    std::string out;
    for (const ModelSpec& m : MODEL_SPECS) {
        if (!out.empty()) out += ", ";
        out += "'";
        out += m.name;
        out += "'";
    }
    return out;
}

}  // namespace velotz
