#include "tonewright/SoundRefCounted.h"

// Through the virtual destructor: the most derived object is destroyed and freed.
void SoundRefCounted::destroy() { delete this; }
