#include "host/app/RelayController.h"

#include <asio/post.hpp>

#include "host/app/RelayProvisioner.h"
#include "kit/relay/CoordinatorClient.h"
#include "kit/relay/InviteCode.h"

namespace brindlet::host {
namespace {
constexpr const char* kNoIdentity = "The host identity is not available";
}

std::shared_ptr<RelayController> RelayController::make(Strand main, std::shared_ptr<RelaySettings> settings,
                                                       std::shared_ptr<RelayProvisioner> provisioner,
                                                       ServiceFactory makeService, Enroll enroll,
                                                       std::shared_ptr<Clock> clock) {
  auto controller = std::make_shared<RelayController>(std::move(main), std::move(settings), std::move(provisioner),
                                                      std::move(makeService), std::move(enroll), std::move(clock));
  // Every change of the deny list (a device removed, or given access again) reaches the running service.
  std::weak_ptr<RelayController> weak = controller;
  Strand strand = controller->main_;
  controller->settings_->setDeniedChangeHandler([weak, strand] {
    asio::post(strand, [weak] {
      if (auto self = weak.lock()) self->pushDenied();
    });
  });
  return controller;
}

RelayController::RelayController(Strand main, std::shared_ptr<RelaySettings> settings,
                                 std::shared_ptr<RelayProvisioner> provisioner, ServiceFactory makeService,
                                 Enroll enroll, std::shared_ptr<Clock> clock)
    : main_(std::move(main)),
      settings_(std::move(settings)),
      provisioner_(std::move(provisioner)),
      makeService_(std::move(makeService)),
      enroll_(std::move(enroll)),
      clock_(std::move(clock)),
      enabled_(settings_->enabled()) {
  if (auto account = settings_->account()) accountLabel_ = account->label;
}

RelayController::~RelayController() {
  settings_->setDeniedChangeHandler(nullptr);
  if (service_) service_->stop();
}

template <class T>
void RelayController::assign(T& field, T value) {
  if (field == value) return;
  field = std::move(value);
  if (onChange) onChange();
}

std::optional<std::string> RelayController::statusLine() const {
  if (joining_) return std::string("Joining\u2026");
  if (notice_) return notice_;
  if (enabled_ && accountLabel_) return status_.text();
  return std::nullopt;
}

bool RelayController::statusIsError() const {
  if (notice_) return true;
  return enabled_ && accountLabel_ && status_.kind == Status::Kind::error;
}

void RelayController::setInviteDraft(std::string text) { assign(inviteDraft_, std::move(text)); }

void RelayController::setSwitch(bool on) {
  settings_->setEnabled(on);
  if (!on) {
    assign(notice_, std::optional<std::string>());
    assign(inviteDraft_, std::string());
  }
  reconcile();
  configChanged();
}

void RelayController::setSigner(std::shared_ptr<RelaySigner> signer) {
  signer_ = signer;
  provisioner_->setSigner(std::move(signer));
}

void RelayController::setListenerPort(std::optional<std::uint16_t> port) {
  listenerPort_ = port;
  if (service_) service_->setListenerPort(port);
}

void RelayController::reconcile() {
  assign(enabled_, settings_->enabled());
  auto account = settings_->account();
  assign(accountLabel_, account ? std::optional<std::string>(account->label) : std::nullopt);
  statusTask_ = Task();
  if (service_) service_->stop();
  service_.reset();
  // Devices get no relay configuration from here on, and reports of the old service are ignored.
  std::uint64_t generation = provisioner_->deactivate();
  assign(status_, Status::stopped());
  if (!enabled_ || !settings_->enabled() || !account) return;
  if (!signer_) {
    assign(status_, Status::error(kNoIdentity));
    return;
  }
  auto denied = settings_->deniedKeys(clock_->wallNow());
  std::shared_ptr<RelayHostService> service;
  try {
    service = makeService_(*account, signer_, listenerPort_, std::move(denied));
  } catch (const std::exception& error) {
    assign(status_, Status::error(error.what()));
    return;
  }
  service_ = service;
  assign(status_, service->current());
  std::weak_ptr<RelayController> weak = weak_from_this();
  std::shared_ptr<RelayProvisioner> provisioner = provisioner_;
  Strand main = main_;
  service->setRelaysHandler([weak, provisioner, main, generation](std::vector<RelayEndpoint> relays) {
    if (!provisioner->activate(generation, std::move(relays))) return;
    asio::post(main, [weak] {
      if (auto self = weak.lock()) self->configChanged();
    });
  });
  // A fatal answer counts only while its service is still the running one: a late report of a
  // service already replaced must not drop the account the user has just joined.
  std::weak_ptr<RelayHostService> reporter = service;
  service->setFatalHandler([weak, main, reporter](CoordinatorError error) {
    asio::post(main, [weak, reporter, error] {
      auto self = weak.lock();
      if (self && self->service_ && self->service_ == reporter.lock()) self->forgetAccount(error);
    });
  });
  statusTask_ = Task::spawn(main_, mirror(weak, service->statuses()));
  service->start();
}

asio::awaitable<void> RelayController::mirror(std::weak_ptr<RelayController> weak, AsyncStream<Status> statuses) {
  while (auto status = co_await statuses.next()) {
    auto self = weak.lock();
    if (!self) co_return;
    self->assign(self->status_, *status);
  }
}

void RelayController::join(const std::string& text) {
  if (joining_) return;
  auto code = InviteCode::normalize(text);
  if (!code) {
    assign(notice_, std::optional<std::string>(CoordinatorError(CoordinatorError::Case::malformedInvite).what()));
    return;
  }
  if (!signer_) {
    assign(notice_, std::optional<std::string>(kNoIdentity));
    return;
  }
  assign(notice_, std::optional<std::string>());
  assign(joining_, true);
  joinTask_ = Task::spawn(main_, runJoin(weak_from_this(), enroll_, settings_->coordinatorURL(), *code, signer_));
}

asio::awaitable<void> RelayController::runJoin(std::weak_ptr<RelayController> weak, Enroll enroll, std::string url,
                                               std::string code, std::shared_ptr<RelaySigner> signer) {
  std::optional<std::string> label;
  std::string failure;
  try {
    label = co_await enroll(url, code, signer);
  } catch (const asio::system_error& error) {
    if (error.code() == asio::error::operation_aborted) throw;
    failure = error.what();
  } catch (const std::exception& error) {
    failure = error.what();
  }
  auto self = weak.lock();
  if (!self) co_return;
  if (!label) {
    self->assign(self->joining_, false);
    self->assign(self->notice_, std::optional<std::string>(failure));
    co_return;
  }
  self->settings_->setAccount(*label, url);
  self->settings_->setEnabled(true);
  self->assign(self->joining_, false);
  self->assign(self->inviteDraft_, std::string());
  self->reconcile();
  self->configChanged();
}

void RelayController::forgetAccount(const CoordinatorError& error) {
  settings_->removeAccount();
  reconcile();
  assign(notice_, std::optional<std::string>(error.what()));
  configChanged();
}

void RelayController::pushDenied() {
  if (service_) service_->setDenied(settings_->deniedKeys(clock_->wallNow()));
}

void RelayController::configChanged() {
  if (onConfigChanged) onConfigChanged();
}

}  // namespace brindlet::host
