// notifobj.cpp - defaults of the module base.
#include "notifobj.h"

namespace {
// CreateSessionData must answer non-null for the core to record the session;
// modules without per-session state share this marker.
char g_no_session_data;
} // namespace

CNotifiableObject::CNotifiableObject()
    : m_sessions(32), m_state(AS_STATE_DEFERRED), m_module_area(), m_kind(0), m_pad0(), m_module_area2(),
      m_module_area3(), m_configurer(nullptr) {}

CNotifiableObject::~CNotifiableObject() {}
int CNotifiableObject::ApplySessionSettings(uint64_t) { return 0; }
bool CNotifiableObject::IsEnabledForSession(uint64_t) { return true; }
int CNotifiableObject::Reserved4() { return 0; }
int CNotifiableObject::Reserved5() { return 0; }
int CNotifiableObject::ApplySharedSettings() { return 0; }
void* CNotifiableObject::CreateSessionData() { return &g_no_session_data; }
void CNotifiableObject::ReleaseSessionData(void*) {}
int CNotifiableObject::HandleGlobalRequest(CBlackBox*) { return 0; }
int CNotifiableObject::HandleSessionRequest(uint64_t, CBlackBox*) { return 0; }
int CNotifiableObject::Reserved11() { return 0; }
