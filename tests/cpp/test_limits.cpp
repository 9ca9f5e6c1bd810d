// Limits on networks read from disk, against the shipped ones.
#include <gtest/gtest.h>

#include <algorithm>

#include "start/registry.hpp"
#include "nn/embedded.hpp"
#include "nn/guesser.hpp"

using namespace velotz;

TEST(NetworkLimits, EveryShippedNetworkIsFarBelowTheDiskLimit) {
    std::size_t count = 0;
    const EmbeddedModel* models = embedded_models(&count);
    ASSERT_GT(count, 0u);
    double largest = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        auto g = Guesser::from_bytes(models[i].bytes, models[i].size);
        ASSERT_TRUE(g.has_value()) << models[i].name;
        // Independent count from the architecture: stem C*3*K and 2 convolutions
        // C*C*K per block at every grid position, plus the dense head.
        const double c = static_cast<double>(g->channels()), k = static_cast<double>(g->kernel());
        const double blocks = static_cast<double>(g->dilations().size());
        double head = 0.0;
        for (const char* name : {"w.head.0.weight", "w.head.2.weight", "w.head.4.weight"}) {
            head += static_cast<double>((*g->tensor(name))->data.size());
        }
        const double expected = static_cast<double>(g->n_grid()) * (c * 3 * k + 2 * blocks * c * c * k) + head;
        EXPECT_EQ(network_cost(*g), expected) << models[i].name;
        EXPECT_FALSE(check_disk_network(*g).has_value()) << models[i].name;
        largest = std::max(largest, network_cost(*g));
    }
    // "Far costlier than any shipped network": the limit leaves a wide margin.
    EXPECT_LT(largest * 50, kMaxNetworkCost) << largest;
}
