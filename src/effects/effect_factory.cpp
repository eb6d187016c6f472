#include "effects/effect_chain.h"
#include "psola/psola_effect.h"

namespace timbrelo {

// Each slot's effect is plugged in here as it is built.
EffectFactory defaultEffectFactory() {
    EffectFactory factory;
    factory.psola = [] { return std::make_unique<PsolaEffect>(); };
    return factory;
}

} // namespace timbrelo
