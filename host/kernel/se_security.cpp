/*
 * se_security.cpp - client security of the host stand-in.
 *
 * Each application thread has an identity (uid, gid, groups; by default the process's).
 * SeCreateClientSecurity captures the calling thread's identity in a reference-counted token
 * object; SeImpersonateClient makes the calling thread's file opens run with that identity:
 * on Linux the per-thread file-system user and group (setfsuid/setfsgid) and the per-thread
 * supplementary groups (the raw setgroups system call; the C library's setgroups changes every
 * thread of the process). PsRevertToSelf restores the thread's own identity.
 */
#include "io_private.h"

#include <grp.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr uint32_t kTokenMagic = 0x546F6B6E; /* "Tokn" */

struct HostToken {
    uint32_t Magic;
    TOKEN_TYPE Type;
    HOST_IDENTITY Identity;
};

struct ThreadState {
    bool IdentitySet = false;
    HOST_IDENTITY Identity{};
    HostToken *Impersonating = nullptr;
};

thread_local ThreadState tThread;
std::atomic<long> gLiveTokens{0};

HOST_IDENTITY ProcessIdentity() {
    static HOST_IDENTITY identity = [] {
        HOST_IDENTITY id{};
        id.Uid = (uint32_t)geteuid();
        id.Gid = (uint32_t)getegid();
        gid_t groups[HOST_MAX_GROUPS];
        int count = getgroups(HOST_MAX_GROUPS, groups);
        if (count < 0) {
            count = 0;
        }
        id.GroupCount = (uint32_t)count;
        for (int i = 0; i < count; i++) {
            id.Groups[i] = (uint32_t)groups[i];
        }
        return id;
    }();
    return identity;
}

bool SameIdentity(const HOST_IDENTITY &a, const HOST_IDENTITY &b) {
    if (a.Uid != b.Uid || a.Gid != b.Gid || a.GroupCount != b.GroupCount) {
        return false;
    }
    return memcmp(a.Groups, b.Groups, a.GroupCount * sizeof(uint32_t)) == 0;
}

/* Sets the calling thread's file-system identity; false when the kernel refused. */
bool ApplyFileIdentity(const HOST_IDENTITY &Identity) {
    gid_t groups[HOST_MAX_GROUPS];
    for (uint32_t i = 0; i < Identity.GroupCount && i < HOST_MAX_GROUPS; i++) {
        groups[i] = (gid_t)Identity.Groups[i];
    }
    /* Groups and gid first: changing them needs the privileges that the fsuid change drops. */
    if (syscall(SYS_setgroups, (size_t)Identity.GroupCount, groups) != 0 &&
        !SameIdentity(Identity, ProcessIdentity())) {
        return false;
    }
    setfsgid((gid_t)Identity.Gid);
    setfsuid((uid_t)Identity.Uid);
    return (uint32_t)setfsuid((uid_t)-1) == Identity.Uid &&
           (uint32_t)setfsgid((gid_t)-1) == Identity.Gid;
}

HostToken *TokenOf(PACCESS_TOKEN Token, const char *What) {
    auto *token = static_cast<HostToken *>(Token);
    if (token == nullptr || token->Magic != kTokenMagic) {
        HostVerifierStop("%s: %p is not a token object", What, Token);
        return nullptr;
    }
    return token;
}

void DestroyToken(void *Object) {
    auto *token = static_cast<HostToken *>(Object);
    token->Magic = 0;
    delete token;
    gLiveTokens--;
}

} // namespace

namespace hostio {

bool IsTokenObject(const void *Object) {
    return Object != nullptr && static_cast<const HostToken *>(Object)->Magic == kTokenMagic;
}

void ReferenceToken(void *Token) {
    ObfReferenceObject(Token);
}

void DereferenceToken(void *Token) {
    ObfDereferenceObject(Token);
}

KernelFileIdentityScope::KernelFileIdentityScope() : Switched(false) {
    if (tThread.Impersonating != nullptr &&
        !SameIdentity(tThread.Impersonating->Identity, ProcessIdentity())) {
        Switched = ApplyFileIdentity(ProcessIdentity());
    }
}

KernelFileIdentityScope::~KernelFileIdentityScope() {
    if (Switched && tThread.Impersonating != nullptr) {
        (void)ApplyFileIdentity(tThread.Impersonating->Identity);
    }
}

void DropImpersonationAtThreadEnd() {
    HostToken *token = tThread.Impersonating;
    if (token != nullptr) {
        tThread.Impersonating = nullptr;
        (void)ApplyFileIdentity(ProcessIdentity());
        ObfDereferenceObject(token);
    }
}

} // namespace hostio

extern "C" {

NTSTATUS NTAPI SeCreateClientSecurity(PETHREAD ClientThread,
                                      PSECURITY_QUALITY_OF_SERVICE ClientSecurityQos,
                                      BOOLEAN RemoteSession,
                                      PSECURITY_CLIENT_CONTEXT ClientContext) {
    HostVerifierCheckPassive("SeCreateClientSecurity");
    if (ClientContext == nullptr || ClientSecurityQos == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ClientThread != nullptr && ClientThread != PsGetCurrentThread() &&
        (PVOID)ClientThread != (PVOID)KeGetCurrentThread()) {
        HostVerifierStop("SeCreateClientSecurity: the stand-in captures the calling thread only "
                         "(got thread %p)",
                         (void *)ClientThread);
    }
    NTSTATUS injected;
    if (HostFaultShouldFail(HostFaultClientSecurity, &injected)) {
        return injected != 0 ? injected : STATUS_NO_TOKEN;
    }
    auto *token = new HostToken();
    token->Magic = kTokenMagic;
    /* A static-tracking capture is a copy of the client's token for impersonation. */
    token->Type = TokenImpersonation;
    HostGetThreadIdentity(&token->Identity);
    gLiveTokens++;
    HostObjectTrack(token, 1, DestroyToken);

    memset(ClientContext, 0, sizeof(*ClientContext));
    ClientContext->SecurityQos = *ClientSecurityQos;
    ClientContext->ClientToken = token;
    ClientContext->DirectlyAccessClientToken = FALSE;
    ClientContext->DirectAccessEffectiveOnly = ClientSecurityQos->EffectiveOnly;
    ClientContext->ServerIsRemote = RemoteSession;
    ClientContext->ClientTokenControl.TokenId = (ULONGLONG)(ULONG_PTR)token;
    memcpy(ClientContext->ClientTokenControl.SourceName, "HostStnd", 8);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SeImpersonateClientEx(PSECURITY_CLIENT_CONTEXT ClientContext,
                                     PETHREAD ServerThread) {
    HostVerifierCheckPassive("SeImpersonateClient");
    if (ServerThread != nullptr && ServerThread != PsGetCurrentThread() &&
        (PVOID)ServerThread != (PVOID)KeGetCurrentThread()) {
        HostVerifierStop("SeImpersonateClient: the stand-in impersonates in the calling thread "
                         "only (got thread %p)",
                         (void *)ServerThread);
    }
    HostToken *token = TokenOf(ClientContext->ClientToken, "SeImpersonateClient");
    if (token == nullptr) {
        return STATUS_NO_TOKEN;
    }
    if (ClientContext->SecurityQos.ImpersonationLevel < SecurityImpersonation) {
        return STATUS_BAD_IMPERSONATION_LEVEL;
    }
    ObfReferenceObject(token);
    HostToken *previous = tThread.Impersonating;
    tThread.Impersonating = token;
    if (previous != nullptr) {
        ObfDereferenceObject(previous);
    }
    if (!ApplyFileIdentity(token->Identity)) {
        if (!SameIdentity(token->Identity, ProcessIdentity())) {
            /* Without the privilege to switch, the thread keeps its own file identity. */
            return STATUS_PRIVILEGE_NOT_HELD;
        }
    }
    return STATUS_SUCCESS;
}

VOID NTAPI SeImpersonateClient(PSECURITY_CLIENT_CONTEXT ClientContext, PETHREAD ServerThread) {
    (void)SeImpersonateClientEx(ClientContext, ServerThread);
}

VOID NTAPI PsRevertToSelf(VOID) {
    HostVerifierCheckPassive("PsRevertToSelf");
    HostToken *token = tThread.Impersonating;
    if (token == nullptr) {
        return;
    }
    tThread.Impersonating = nullptr;
    (void)ApplyFileIdentity(ProcessIdentity());
    ObfDereferenceObject(token);
}

TOKEN_TYPE NTAPI SeTokenType(PACCESS_TOKEN Token) {
    HostToken *token = TokenOf(Token, "SeTokenType");
    return token != nullptr ? token->Type : TokenImpersonation;
}

} // extern "C"

void HostSetThreadIdentity(uint32_t Uid, uint32_t Gid, const uint32_t *Groups,
                           uint32_t GroupCount) {
    if (GroupCount > HOST_MAX_GROUPS) {
        GroupCount = HOST_MAX_GROUPS;
    }
    tThread.IdentitySet = true;
    tThread.Identity.Uid = Uid;
    tThread.Identity.Gid = Gid;
    tThread.Identity.GroupCount = GroupCount;
    for (uint32_t i = 0; i < GroupCount; i++) {
        tThread.Identity.Groups[i] = Groups[i];
    }
}

void HostResetThreadIdentity(void) {
    tThread.IdentitySet = false;
}

void HostGetThreadIdentity(HOST_IDENTITY *Identity) {
    *Identity = tThread.IdentitySet ? tThread.Identity : ProcessIdentity();
}

void HostGetEffectiveFileIdentity(HOST_IDENTITY *Identity) {
    *Identity =
        tThread.Impersonating != nullptr ? tThread.Impersonating->Identity : ProcessIdentity();
}

BOOLEAN HostCanImpersonate(void) {
    return geteuid() == 0;
}

LONG HostLiveTokenCount(void) {
    return (LONG)gLiveTokens.load();
}
