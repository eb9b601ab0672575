/*
 * rtl_string.cpp - counted strings and memory comparison of the run-time library stand-in.
 *
 * ANSI text converts as Latin-1 (each byte is one UTF-16 unit); Unicode units above 0xFF become
 * '?' on the way back. Allocated destination strings come from paged pool, as on the platform.
 */
#include "ke_internal.h"

namespace {

const ULONG kStringTag = HostPoolTag("Strg");

} // namespace

extern "C" {

SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) {
    const UCHAR *a = (const UCHAR *)Source1;
    const UCHAR *b = (const UCHAR *)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        ++i;
    }
    return i;
}

VOID RtlInitString(PSTRING DestinationString, PCSZ SourceString) {
    DestinationString->Buffer = (PCHAR)SourceString;
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t length = strlen(SourceString);
    if (length > MAXUSHORT - 1) {
        length = MAXUSHORT - 1;
    }
    DestinationString->Length = (USHORT)length;
    DestinationString->MaximumLength = (USHORT)(length + 1);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    RtlInitString(DestinationString, SourceString);
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = (PWSTR)SourceString;
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t units = 0;
    while (SourceString[units] != 0) {
        ++units;
    }
    const size_t maxUnits = (MAXUSHORT - 1) / sizeof(WCHAR) - 1;
    if (units > maxUnits) {
        units = maxUnits;
    }
    DestinationString->Length = (USHORT)(units * sizeof(WCHAR));
    DestinationString->MaximumLength = (USHORT)((units + 1) * sizeof(WCHAR));
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    HostPagedCodeCheck("RtlAnsiStringToUnicodeString");
    size_t units = SourceString->Length;
    size_t bytesWithNull = (units + 1) * sizeof(WCHAR);
    if (bytesWithNull > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (AllocateDestinationString) {
        PWSTR buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytesWithNull, kStringTag);
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = (USHORT)bytesWithNull;
    } else if (units * sizeof(WCHAR) >= DestinationString->MaximumLength) {
        /* The caller's buffer must hold the text and its terminating null. */
        return STATUS_BUFFER_OVERFLOW;
    }
    DestinationString->Length = (USHORT)(units * sizeof(WCHAR));
    for (size_t i = 0; i < units; ++i) {
        DestinationString->Buffer[i] = (WCHAR)(UCHAR)SourceString->Buffer[i];
    }
    DestinationString->Buffer[units] = UNICODE_NULL;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    HostPagedCodeCheck("RtlUnicodeStringToAnsiString");
    size_t units = SourceString->Length / sizeof(WCHAR);
    size_t bytesWithNull = units + 1;
    if (bytesWithNull > MAXUSHORT) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (AllocateDestinationString) {
        PCHAR buffer = (PCHAR)ExAllocatePoolWithTag(PagedPool, bytesWithNull, kStringTag);
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = (USHORT)bytesWithNull;
    } else if (units >= DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    DestinationString->Length = (USHORT)units;
    for (size_t i = 0; i < units; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c <= 0xFF ? (CHAR)(UCHAR)c : '?';
    }
    DestinationString->Buffer[units] = ANSI_NULL;
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    HostVerifierCheckPassive("RtlFreeUnicodeString");
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer != nullptr) {
        ExFreePool(AnsiString->Buffer);
    }
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT length = SourceString->Length;
    if (length > DestinationString->MaximumLength) {
        length = DestinationString->MaximumLength;
    }
    memmove(DestinationString->Buffer, SourceString->Buffer, length);
    DestinationString->Length = length;
    if (length + sizeof(WCHAR) <= DestinationString->MaximumLength) {
        DestinationString->Buffer[length / sizeof(WCHAR)] = UNICODE_NULL;
    }
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) {
        return FALSE;
    }
    for (size_t i = 0; i < String1->Length / sizeof(WCHAR); ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            if (a >= u'a' && a <= u'z') {
                a = (WCHAR)(a - u'a' + u'A');
            }
            if (b >= u'a' && b <= u'z') {
                b = (WCHAR)(b - u'a' + u'A');
            }
        }
        if (a != b) {
            return FALSE;
        }
    }
    return TRUE;
}

} // extern "C"
