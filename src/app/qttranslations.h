#ifndef STENDIX_QTTRANSLATIONS_H
#define STENDIX_QTTRANSLATIONS_H

// Puts Qt's own texts (standard dialog buttons, message boxes, the context menus of the fields)
// into Russian like the rest of the interface: Qt's Russian catalogue from the system's Qt
// translations, plus "ОК" in Cyrillic letters, which that catalogue leaves in Latin ones. Call once
// the application object exists and before any window is built. False when the catalogue is not
// installed; Qt's texts then stay English.
bool installQtTranslations();

#endif
