#include "effects/background_effect.h"
#include "effects/cartoon_effect.h"
#include "effects/echo_effect.h"
#include "effects/effect_chain.h"
#include "effects/psola_effect.h"

namespace timbrelo {

// Each slot's effect is plugged in here as it is built.
EffectFactory defaultEffectFactory() {
    EffectFactory factory;
    factory.echo = [] { return std::make_unique<EchoEffect>(); };
    factory.cartoon = [] { return std::make_unique<CartoonEffect>(); };
    factory.psola = [] { return std::make_unique<PsolaEffect>(); };
    factory.background = [] { return std::make_unique<BackgroundEffect>(); };
    return factory;
}

} // namespace timbrelo
