#include "relay/ui/veltrane_app.h"

#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>
#include <cstdio>

#include "common/program_files.h"
#include "common/user_files.h"
#include "foundation/library.h"
#include "foundation/log.h"
#include "platform/error.h"
#include "platform/instance_activation.h"
#include "platform/memory.h"
#include "platform/netinfo.h"
#include "platform/process_mutex.h"
#include "relay/ini_config.h"
#include "relay/network_settings.h"
#include "relay/program_settings.h"
#include "relay/ui/gui_message_sink.h"
#include "relay/ui/idle_release.h"
#include "relay/ui/main_frame.h"
#include "relay/ui/system_tray.h"
#include "relay/ui/user_presence.h"
#include "relay/ui/web_page.h"
#include "relay/veltrane_manager.h"
#include "relay/veltrane_view.h"

#ifndef VELTRANE_HELPDESK_NUMBER
#define VELTRANE_HELPDESK_NUMBER "0000-0000"
#endif

namespace {

constexpr char kInstanceName[] = "VELTRANE";
constexpr char kPortVariable[] = "VELTRANE_PORT";
// The program folder's icons/ is an icon theme folder (hicolor/16x16/apps/veltrane.png, ...).
constexpr char kIconName[] = "veltrane";
constexpr char kIconFolder[] = "icons";

std::string ProfilePath() { return std::string(g_get_user_config_dir()) + "/Veltrane/profile.ini"; }

}  // namespace

CVeltraneApp::CVeltraneApp() = default;

CVeltraneApp::~CVeltraneApp() = default;

int CVeltraneApp::Run(int argc, char** argv) {
  if (InitInstance(argc, argv)) {
    gtk_main();
  } else if (frame_) {
    frame_.reset();  // as on exit: the window goes, "WinSize.ini" is written
  }
  ExitInstance();
  return status_;
}

bool CVeltraneApp::InitInstance(int& argc, char**& argv) {
  // One relay per user: a second copy asks the first to show its window (the way in on a
  // desktop without a notification area) and leaves without a word.
  mutex_ = plat::CreateMutexA(kInstanceName, TRUE);
  if (plat::GetLastError() == ERROR_ALREADY_EXISTS) {
    plat::RequestActivation(kInstanceName);
    status_ = kExitOk;
    return false;
  }

  g_set_prgname("Veltrane");
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "Veltrane: cannot open the display\n");
    const char* display = g_getenv("DISPLAY");
    LogStartFailure(std::string("화면을 열 수 없습니다 (DISPLAY=") +
                    (display != nullptr ? display : "") + ")");
    status_ = kExitStartFailed;
    return false;
  }
  toolkit_ = true;
  const std::string icon_folder = ModulePath(kIconFolder);
  gtk_icon_theme_append_search_path(gtk_icon_theme_get_default(), icon_folder.c_str());
  gtk_window_set_default_icon_name(kIconName);

  unsigned short port = CVeltraneManager::kRelayPort;
  if (const char* text = g_getenv(kPortVariable)) {
    const std::optional<unsigned short> parsed = ParseListenPort(text);
    if (!parsed) {
      std::fprintf(stderr, "Veltrane: %s must be a port number from 1 to 65535\n", kPortVariable);
      status_ = kExitUsage;
      return false;
    }
    port = *parsed;
  }

  VGSLib::initialize();
  library_ = true;

  if (!CreateFrameAndView()) {
    status_ = kExitStartFailed;
    return false;
  }

  std::string cause;
  if (!StartServer(port, cause)) {
    if (!cause.empty()) {
      manager_->log().log_error(__FILE__, __LINE__, "[Veltrane error] %s", cause.c_str());
      std::fprintf(stderr, "Veltrane: [Veltrane error] %s\n", cause.c_str());
    } else {
      LogStartFailure(ServerFailureCause(port));
    }
    manager_->log().log_error(__FILE__, __LINE__, "Veltrane 실행 실패 ( 라이브러리 초기화 실패)");
    status_ = kExitStartFailed;
    return false;
  }

  const std::string version = ReadProductVersion(ModulePath("Veltrane.exe"));
  manager_->log().log_info(__FILE__, __LINE__, "[Veltrane Start] Veltrane 실행 - 버전 %s",
                           version.c_str());

  // Whether a desktop panel shows the icon is learned from the session bus later, in the GUI
  // loop: start-up does not wait for the bus.
  const auto no_tray = [this] {
    manager_->log().log_warning(
        __FILE__, __LINE__,
        "[Veltrane error] Tray icon unavailable (no status notifier host); the window shows on "
        "each request");
  };
  tray_ = std::make_unique<CSystemTray>([this] { frame_->Show(); }, [this] { Quit(); }, no_tray);
  if (!tray_->Create(kIconName, ModulePath(kIconFolder))) no_tray();

  signal_sources_[0] = g_unix_signal_add(SIGTERM, &CVeltraneApp::OnSignal, this);
  signal_sources_[1] = g_unix_signal_add(SIGINT, &CVeltraneApp::OnSignal, this);

  ListenForActivation();
  page_->Preload();
  frame_->ShowIfAllowed();  // hidden until a request or "보이기"
  return true;
}

void CVeltraneApp::ListenForActivation() {
  activation_ = std::make_unique<plat::ActivationListener>(kInstanceName);
  if (!activation_->listening()) {
    manager_->log().log_warning(__FILE__, __LINE__,
                                "[Veltrane error] Activation socket unavailable; a second start "
                                "cannot show the window");
    activation_.reset();
    return;
  }
  activation_source_ = g_unix_fd_add(
      activation_->fd(), G_IO_IN,
      +[](gint, GIOCondition, gpointer self) -> gboolean {
        static_cast<CVeltraneApp*>(self)->OnActivation();
        return G_SOURCE_CONTINUE;
      },
      this);
}

void CVeltraneApp::OnActivation() {
  if (activation_->TakeRequests() && frame_) frame_->Show();
}

bool CVeltraneApp::StartServer(unsigned short port, std::string& cause) {
  // The OCS port's settings are configuration: from the program folder.
  manager_->open_log();
  CNetworkSettings network;
  if (!LoadNetworkSettings(ModulePath(CNetworkSettings::kFileName), network, cause)) return false;
  manager_->set_network(network);
  manager_->set_port(port);
  return manager_->start_server();  // its failure text stays in last_error()
}

bool CVeltraneApp::CreateFrameAndView() {
  manager_ = CVeltraneManager::instance();
  if (manager_ == nullptr) return false;

  // Configuration from the program folder; the user's own files where UserFileFolder says
  // (empty when there is none: they are then not written).
  const std::string program_dir = ModulePath(nullptr);
  const std::string user_dir = UserFileFolder(program_dir);
  page_ = std::make_unique<CWebPage>([this] { frame_->Show(); });
  if (!page_->Create()) return false;
  frame_ = std::make_unique<CMainFrame>(FrameCaption(VELTRANE_HELPDESK_NUMBER), ProfilePath(),
                                        UserFilePath(program_dir, kWinSizeIni),
                                        [this] { OnFrameDestroyed(); });
  if (!frame_->Create(page_->widget())) return false;
  page_->set_dialog_parent(frame_->window());
  presence_ = CUserPresence::Create([this] { OnReturn(); });
  std::function<unsigned long()> input_idle_ms;
  if (presence_) input_idle_ms = [presence = presence_.get()] { return presence->IdleMs(); };
  idle_ = std::make_unique<CIdleRelease>(CIdleRelease::IntervalFromEnvironment(),
                                         std::move(input_idle_ms), [this] { OnIdle(); });
  g_signal_connect_swapped(frame_->window(), "hide",
                           G_CALLBACK(+[](CIdleRelease* idle) { idle->Arm(); }), idle_.get());
  g_signal_connect_swapped(frame_->window(), "show", G_CALLBACK(+[](CVeltraneApp* app) {
                             app->idle_->Disarm();
                             if (app->presence_) app->presence_->StopWatching();
                           }),
                           this);

  view_ =
      std::make_unique<CVeltraneView>(*manager_, manager_->log(), *page_, program_dir, user_dir);
  page_->set_view(view_.get());
  sink_ = std::make_shared<CGuiMessageSink>([this](UINT msg, WPARAM wparam, LPARAM lparam) {
    if (msg == WM_VELTRANE_REQUEST && view_) view_->OnOcsRequest(wparam, lparam);
  });
  view_window_ = plat::CreateMessageWindow(sink_);
  return view_window_ != nullptr && view_->OnInitialUpdate(view_window_);
}

std::string CVeltraneApp::ServerFailureCause(unsigned short port) const {
  if (VGSLib::GetErrorCode() == WSAEADDRINUSE) {
    const plat::PortListener holder = plat::FindTcpListener(port);
    const std::string by = holder.program.empty()
                               ? "다른 사용자의 프로그램이거나 알 수 없음"
                               : holder.program + ", pid " + std::to_string(holder.process_id);
    return "포트 " + std::to_string(port) + " 사용 중 (" + by + ")";
  }
  std::string text = manager_->last_error();
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

void CVeltraneApp::LogStartFailure(const std::string& cause) {
  std::fprintf(stderr, "Veltrane: [Veltrane error] 시작 실패 : %s\n", cause.c_str());
  if (!library_) {
    VGSLib::initialize();
    library_ = true;
  }
  if (manager_ == nullptr) manager_ = CVeltraneManager::instance();
  if (manager_ == nullptr) return;
  manager_->open_log();
  manager_->log().log_error(__FILE__, __LINE__, "[Veltrane error] 시작 실패 : %s", cause.c_str());
}

void CVeltraneApp::Quit() {
  if (frame_) frame_->Exit();
}

void CVeltraneApp::OnFrameDestroyed() {
  // The view's window goes with the frame: requests from now on are dropped.
  if (sink_) sink_->close();
  if (view_window_ != nullptr) plat::DestroyWindow(view_window_);
  view_window_ = nullptr;
  if (page_) page_->Detach();
  if (gtk_main_level() > 0) gtk_main_quit();
}

void CVeltraneApp::OnIdle() {
  manager_->log().log_info(__FILE__, __LINE__,
                           "[Veltrane] 창이 숨겨진 채 %u초가 지나 웹 프로세스를 끝냈습니다",
                           idle_->interval_ms() / 1000);
  page_->EndWebProcess();
  plat::TrimHeap();
  if (presence_) presence_->WatchForReturn(idle_->interval_ms());
}

void CVeltraneApp::OnReturn() {
  manager_->log().log_info(__FILE__, __LINE__,
                           "[Veltrane] 입력이 있어 다음 요청에 앞서 웹 프로세스를 시작합니다");
  page_->Preload();
}

int CVeltraneApp::OnSignal(void* self) {
  static_cast<CVeltraneApp*>(self)->Quit();
  return G_SOURCE_CONTINUE;
}

void CVeltraneApp::ExitInstance() {
  for (unsigned int& source : signal_sources_) {
    if (source != 0) g_source_remove(source);
    source = 0;
  }
  if (activation_source_ != 0) g_source_remove(activation_source_);
  activation_source_ = 0;
  activation_.reset();
  if (manager_ != nullptr) manager_->log().log_info(__FILE__, __LINE__, "[Veltrane ShutDown]");
  if (mutex_ != nullptr) {
    plat::CloseMutex(mutex_);
    mutex_ = nullptr;
  }
  if (manager_ != nullptr) manager_->stop_server();  // proactor, then acceptor
  tray_.reset();
  frame_.reset();  // hiding as it goes arms the idle release, which goes next
  idle_.reset();
  view_.reset();
  page_.reset();
  if (library_) VGSLib::uninitialize();  // the manager goes with the library
  manager_ = nullptr;
}
