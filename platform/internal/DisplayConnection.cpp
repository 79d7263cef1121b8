#include "DisplayConnection.h"

namespace {

DisplayConnection gConnection;
bool gProvided = false;

} // namespace

void ProvideDisplayConnection(const DisplayConnection& connection)
{
    gConnection = connection;
    gProvided = true;
}

const DisplayConnection* ProvidedDisplayConnection()
{
    return gProvided ? &gConnection : nullptr;
}
