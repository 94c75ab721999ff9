// ZervRun.exe: the update applier. Started without arguments by the service manager (or
// by hand); runs once and exits.
#include "applier/zervrun_app.h"

int main() {
  CZervRunApp app;
  app.InitInstance();
  return 0;
}
