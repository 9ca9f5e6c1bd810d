#pragma once
// The trained topologies: names and circuits of the networks compiled into
// the module, in search order. Circuit texts of these names are accepted
// wherever a circuit text is.
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace velotz {

struct ModelSpec {
    const char* name;
    const char* circuit;
    int channels;
};

inline constexpr std::array<ModelSpec, 11> MODEL_SPECS = {{
    {"rc", "R0-(R1,C1)", 16},
    {"rc_l", "L0-R0-(R1,C1)", 32},
    {"rq", "R0-(R1,CPE1)", 32},
    {"rq_l", "L0-R0-(R1,CPE1)", 32},
    {"two_rc", "R0-(R1,C1)-(R2,C2)", 32},
    {"two_rc_l", "L0-R0-(R1,C1)-(R2,C2)", 32},
    {"two_rq", "R0-(R1,CPE1)-(R2,CPE2)", 32},
    {"two_rq_l", "L0-R0-(R1,CPE1)-(R2,CPE2)", 32},
    {"randles", "R0-(R1-W1,CPE1)", 32},
    {"sei_randles", "R0-(R1,CPE1)-(R2-W2,CPE2)", 64},
    {"sei_randles_wo", "R0-(R1,CPE1)-(R2-Wo2,CPE2)", 64},
}};

// The model whose name equals `text` ignoring ASCII case (same length), or
// nothing. `text` is compared as given; callers trim it first.
std::optional<ModelSpec> model_by_name(std::string_view text);

// 'rc', 'rc_l', ... : the names in single quotes joined by ", ".
std::string quoted_model_names();

}  // namespace velotz
