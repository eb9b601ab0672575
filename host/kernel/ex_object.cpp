/*
 * ex_object.cpp - the handle table and object reference counts of the kernel stand-in.
 *
 * Handles are never reused, so a stale handle is always recognised. Each handle records its
 * kind, its object and the routine that ZwClose runs. Reference counts are kept for tracked
 * objects: thread objects by the stand-in, device and file objects by the I/O manager part.
 */
#include "ke_internal.h"

#include <unordered_map>

namespace {

struct HandleEntry {
    ULONG Kind;
    void *Object;
    HOST_HANDLE_CLOSE Close;
};

struct ObjectEntry {
    LONG References;
    HOST_OBJECT_DESTROY Destroy;
};

struct Tables {
    std::mutex Lock;
    std::unordered_map<ULONG_PTR, HandleEntry> Handles;
    ULONG_PTR NextHandle = 0x1000;
    std::unordered_map<const void *, ObjectEntry> Objects;
};

/* Never destroyed: threads may still close handles while the process exits. */
Tables &T() {
    static Tables *tables = new Tables;
    return *tables;
}

} // namespace

HANDLE HostHandleCreate(ULONG Kind, void *Object, HOST_HANDLE_CLOSE Close) {
    if (Kind == 0) {
        Kind = HOST_HANDLE_OTHER;
    }
    Tables &t = T();
    std::lock_guard<std::mutex> lock(t.Lock);
    ULONG_PTR value = t.NextHandle;
    t.NextHandle += 4;
    t.Handles[value] = HandleEntry{Kind, Object, Close};
    return (HANDLE)value;
}

void *HostHandleObject(HANDLE Handle, ULONG Kind) {
    Tables &t = T();
    std::lock_guard<std::mutex> lock(t.Lock);
    auto it = t.Handles.find((ULONG_PTR)Handle);
    if (it == t.Handles.end() || it->second.Kind != Kind) {
        return nullptr;
    }
    return it->second.Object;
}

ULONG HostHandlesOpen(ULONG Kind) {
    Tables &t = T();
    std::lock_guard<std::mutex> lock(t.Lock);
    ULONG count = 0;
    for (const auto &entry : t.Handles) {
        if (Kind == 0 || entry.second.Kind == Kind) {
            ++count;
        }
    }
    return count;
}

void HostObjectTrack(void *Object, LONG References, HOST_OBJECT_DESTROY Destroy) {
    Tables &t = T();
    std::lock_guard<std::mutex> lock(t.Lock);
    t.Objects[Object] = ObjectEntry{References, Destroy};
}

void HostObjectUntrack(void *Object) {
    Tables &t = T();
    std::lock_guard<std::mutex> lock(t.Lock);
    t.Objects.erase(Object);
}

LONG HostObjectReferences(const void *Object) {
    Tables &t = T();
    std::lock_guard<std::mutex> lock(t.Lock);
    auto it = t.Objects.find(Object);
    return it == t.Objects.end() ? -1 : it->second.References;
}

extern "C" {

LONG_PTR ObfReferenceObject(PVOID Object) {
    Tables &t = T();
    LONG_PTR result = 0;
    {
        std::lock_guard<std::mutex> lock(t.Lock);
        auto it = t.Objects.find(Object);
        if (it != t.Objects.end() && it->second.References > 0) {
            return ++it->second.References;
        }
        result = it == t.Objects.end() ? -1 : 0;
    }
    HostVerifierStop("ObfReferenceObject on %p, %s", Object,
                     result < 0 ? "which is not a known object" : "whose references are gone");
    return 0;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
    Tables &t = T();
    HOST_OBJECT_DESTROY destroy = nullptr;
    LONG_PTR result = 0;
    bool bad = false;
    {
        std::lock_guard<std::mutex> lock(t.Lock);
        auto it = t.Objects.find(Object);
        if (it == t.Objects.end() || it->second.References <= 0) {
            bad = true;
            result = it == t.Objects.end() ? -1 : 0;
        } else {
            result = --it->second.References;
            if (result == 0 && it->second.Destroy != nullptr) {
                destroy = it->second.Destroy;
                t.Objects.erase(it);
            }
        }
    }
    if (bad) {
        HostVerifierStop("ObfDereferenceObject on %p, %s", Object,
                         result < 0 ? "which is not a known object"
                                    : "which has no references left");
        return 0;
    }
    if (destroy != nullptr) {
        destroy(Object);
    }
    return result;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID *Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
    UNREFERENCED_PARAMETER(AccessMode);
    HostVerifierCheckIrql("ObReferenceObjectByHandle", APC_LEVEL);
    if (Object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Object = nullptr;
    Tables &t = T();
    std::lock_guard<std::mutex> lock(t.Lock);
    auto it = t.Handles.find((ULONG_PTR)Handle);
    if (it == t.Handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    bool isThread = it->second.Kind == HOST_HANDLE_THREAD;
    if (ObjectType != nullptr && ObjectType == *PsThreadType && !isThread) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (ObjectType != nullptr && ObjectType != *PsThreadType && isThread) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto object = t.Objects.find(it->second.Object);
    if (object == t.Objects.end() || object->second.References <= 0) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ++object->second.References;
    *Object = it->second.Object;
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = OBJ_KERNEL_HANDLE;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
    HostVerifierCheckPassive("ZwClose");
    Tables &t = T();
    HandleEntry entry{};
    {
        std::lock_guard<std::mutex> lock(t.Lock);
        auto it = t.Handles.find((ULONG_PTR)Handle);
        if (it != t.Handles.end()) {
            entry = it->second;
            t.Handles.erase(it);
        }
    }
    if (entry.Kind == 0) {
        HostVerifierStop("ZwClose on %p, which is not an open handle", Handle);
        return STATUS_INVALID_HANDLE;
    }
    if (entry.Close != nullptr) {
        entry.Close(entry.Object);
    }
    return STATUS_SUCCESS;
}

} // extern "C"
