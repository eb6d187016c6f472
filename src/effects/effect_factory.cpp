#include "effects/effect_chain.h"

namespace timbrelo {

// Each slot's effect is plugged in here as it is built.
EffectFactory defaultEffectFactory() {
    EffectFactory factory;
    return factory;
}

} // namespace timbrelo
