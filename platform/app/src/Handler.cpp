#include "Handler.h"

BHandler::BHandler(const char* name)
    : fName(name != nullptr ? name : "")
{
}

BHandler::~BHandler() = default;

void BHandler::MessageReceived(BMessage*)
{
}
