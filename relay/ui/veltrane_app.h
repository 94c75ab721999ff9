// CVeltraneApp: brings the relay up in its fixed order (single instance, toolkit, library,
// frame and view, server), runs the GUI main loop, and tears the server down before the
// library is released. "끝내기", SIGTERM and SIGINT all end it the same way.
#pragma once

#include <memory>
#include <string>

#include "platform/window_message.h"

namespace plat {
class ActivationListener;
class ProcessMutex;
}  // namespace plat
class CGuiMessageSink;
class CIdleRelease;
class CMainFrame;
class CSystemTray;
class CUserPresence;
class CVeltraneManager;
class CVeltraneView;
class CWebPage;

class CVeltraneApp {
 public:
  // Exit statuses.
  static constexpr int kExitOk = 0;           // normal end, or a second copy
  static constexpr int kExitStartFailed = 1;  // no display, no frame, or no server
  static constexpr int kExitUsage = 2;        // a bad setting (VELTRANE_PORT)

  CVeltraneApp();
  ~CVeltraneApp();
  CVeltraneApp(const CVeltraneApp&) = delete;
  CVeltraneApp& operator=(const CVeltraneApp&) = delete;

  // The whole life of the program; returns the exit status.
  int Run(int argc, char** argv);

 private:
  bool InitInstance(int& argc, char**& argv);
  // Frame, page, view and the view's window; the view registers for requests.
  bool CreateFrameAndView();
  // Reads "Veltrane.ini" and starts the server on `port`. false on failure; `cause` is then
  // the reason when the settings were bad (empty when the server did not start).
  bool StartServer(unsigned short port, std::string& cause);
  void ExitInstance();
  // Why the server did not start: the program holding the port when it is taken.
  std::string ServerFailureCause(unsigned short port) const;
  // Writes "[Veltrane error] 시작 실패 : CAUSE" to the log (started for it if need be) and to
  // standard error.
  void LogStartFailure(const std::string& cause);
  // Tray menu "끝내기" and the end of the desktop session.
  void Quit();
  void OnFrameDestroyed();
  // The window has stayed hidden, and the desktop without input, for the idle interval.
  void OnIdle();
  // Input after such an idle: the page is likely needed soon.
  void OnReturn();
  static int OnSignal(void* self);
  // From here on a second start shows the window instead of only leaving.
  void ListenForActivation();
  void OnActivation();

  plat::ProcessMutex* mutex_ = nullptr;
  bool toolkit_ = false;
  bool library_ = false;
  CVeltraneManager* manager_ = nullptr;
  std::unique_ptr<CWebPage> page_;
  std::unique_ptr<CMainFrame> frame_;
  std::unique_ptr<CVeltraneView> view_;
  std::unique_ptr<CSystemTray> tray_;
  std::unique_ptr<CUserPresence> presence_;  // none without an X display
  std::unique_ptr<CIdleRelease> idle_;
  std::unique_ptr<plat::ActivationListener> activation_;
  unsigned int activation_source_ = 0;
  std::shared_ptr<CGuiMessageSink> sink_;
  HWND view_window_ = nullptr;
  unsigned int signal_sources_[2] = {0, 0};
  int status_ = kExitOk;
};
