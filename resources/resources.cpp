#include "resources/resources.h"

#include <QtCore/QtGlobal>

// Q_INIT_RESOURCE must not be used inside a namespace.
static void initResourceBundle()
{
    Q_INIT_RESOURCE(resources);
    Q_INIT_RESOURCE(web);
}

void tidewellInitResources()
{
    static const bool done = (initResourceBundle(), true);
    Q_UNUSED(done)
}
