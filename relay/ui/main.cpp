// Veltrane.exe: the relay between OCS client programs and the portal's pages.
#include "relay/ui/veltrane_app.h"

int main(int argc, char** argv) {
  CVeltraneApp app;
  return app.Run(argc, argv);
}
