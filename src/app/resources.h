#ifndef STENDIX_RESOURCES_H
#define STENDIX_RESOURCES_H

// Registers the compiled-in icons and the busy animation (they live in a static library, so the
// program and every test that shows a panel call this once before using ":/..." paths).
void initStendixResources();

#endif
