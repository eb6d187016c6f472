#include "effects/background_effect.h"
#include "effects/effect_chain.h"

namespace timbrelo {

// Each slot's effect is plugged in here as it is built.
EffectFactory defaultEffectFactory() {
    EffectFactory factory;
    factory.background = [] { return std::make_unique<BackgroundEffect>(); };
    return factory;
}

} // namespace timbrelo
