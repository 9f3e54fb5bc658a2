#include "tonewright/SoundRefCounted.h"

void SoundRefCounted::destroySelf() { delete this; }
