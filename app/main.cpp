#include "app/gondavel_wubbix.h"

int main(int, char**)
{
    gondavel_wubbix* application = new gondavel_wubbix();
    application->Run();
    delete application;
    return 0;
}
