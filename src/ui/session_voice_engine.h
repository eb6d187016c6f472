#pragma once
// The window's voice changer: the shared start-up and shut-down (VoiceChangerSession) over a
// sound system and its virtual device, exactly as the headless runner uses them.

#include "app/voice_changer_session.h"
#include "ui/voice_engine.h"

namespace timbrelo {

class SessionVoiceEngine final : public VoiceEngine, private LinkOwner {
  public:
    SessionVoiceEngine(AudioBackend& backend, VoiceChangerSession::VirtualDeviceMaker maker);
    ~SessionVoiceEngine() override;

    StartResult start(LinkOwner& owner, std::string& error) override;
    void shutDown() override;
    bool running() const override { return session_.running() || session_.waitingForServer(); }

    void setPitchShift(int32_t value, int32_t mode) override;
    void setCartoonParameter(float value, int32_t kind) override;
    void setPsolaParameter(float value, int32_t kind) override;
    void setEffectsOn(bool on) override;
    bool openBackground(const std::string& path) override;
    void stopBackground() override;
    void setBackgroundLevel(float level) override;
    bool startRecording(RecordSlot slot, const std::string& path) override;
    void stopRecording() override;
    void previewChanged(bool ticked) override;
    std::vector<std::string> inputDevices() override;
    bool useMicrophone(const std::string& name) override;
    InputCleanerSettings inputCleaning() override;
    void setInputCleaning(const InputCleanerSettings& settings) override;
    VoiceDelay delay() override;
    ServerEvent pollServer(std::string& detail) override { return session_.poll(detail); }

    VoiceChangerSession& session() { return session_; }

  private:
    // The link's callbacks, passed on to the window (the session restores the devices).
    bool previewTicked() const override { return owner_->previewTicked(); }
    void reissueCurrentPreset() override { owner_->reissueCurrentPreset(); }
    void setRecordAndPlayEnabled(bool enabled) override {
        owner_->setRecordAndPlayEnabled(enabled);
    }
    void restorePreferredDevices() override {}

    AudioBackend& backend_;
    VoiceChangerSession::VirtualDeviceMaker maker_;
    // Set before the link starts its threads, never changed while they run.
    LinkOwner* owner_ = nullptr;
    VoiceChangerSession session_;
};

} // namespace timbrelo
