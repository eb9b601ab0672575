/*
 * zw_file.cpp - files of the host stand-in: ZwCreateFile and ZwReadFile on host files named
 * through a drive-letter map ("\??\D:\images\disc.iso" -> <directory of D>/images/disc.iso),
 * unbuffered opens with O_DIRECT where the file system takes it, synchronous positioned reads,
 * the platform's status values, and injectable open and read failures. Handles live in the
 * kernel's handle table, so ZwClose closes them.
 */
#include "io_private.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <memory>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct HostFile {
    int Fd;
    bool NoBuffering; /* opened with FILE_NO_INTERMEDIATE_BUFFERING: sector-aligned reads only */
    bool Direct;      /* ... and the host file system took O_DIRECT */
    std::string Path;
    LONGLONG Position;
    int BufferedFd; /* a buffered descriptor for hosts whose sectors are larger than 512 */
};

std::mutex gFileLock;
std::map<char, std::string> gDrives;
std::atomic<long> gOpenFiles{0};
std::atomic<LONGLONG> gReadDelay{0}; /* HostSetFileReadDelay, 100 ns units */

bool StartsWithNoCase(const std::string &Text, const char *Prefix, size_t *Length) {
    size_t n = strlen(Prefix);
    if (Text.size() >= n && strncasecmp(Text.c_str(), Prefix, n) == 0) {
        *Length = n;
        return true;
    }
    return false;
}

NTSTATUS Translate(const std::string &Name, std::string *Path) {
    size_t prefix = 0;
    if (!StartsWithNoCase(Name, "\\??\\", &prefix) &&
        !StartsWithNoCase(Name, "\\DosDevices\\", &prefix) &&
        !StartsWithNoCase(Name, "\\GLOBAL??\\", &prefix)) {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    std::string rest = Name.substr(prefix);
    if (!rest.empty() && rest[0] == '/') {
        *Path = rest;
        return STATUS_SUCCESS;
    }
    if (rest.size() < 2 || !isalpha((unsigned char)rest[0]) || rest[1] != ':') {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::string directory;
    {
        std::lock_guard<std::mutex> guard(gFileLock);
        auto found = gDrives.find((char)toupper((unsigned char)rest[0]));
        if (found == gDrives.end()) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        directory = found->second;
    }
    std::string tail = rest.substr(2);
    if (!tail.empty() && tail[0] != '\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    for (char &c : tail) {
        if (c == '\\') {
            c = '/';
        }
    }
    /* No component may climb out of the mapped directory. */
    size_t start = 0;
    while (start <= tail.size()) {
        size_t end = tail.find('/', start);
        if (end == std::string::npos) {
            end = tail.size();
        }
        if (tail.compare(start, end - start, "..") == 0) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        start = end + 1;
    }
    while (!directory.empty() && directory.back() == '/') {
        directory.pop_back();
    }
    *Path = directory + (tail.empty() ? "/" : tail);
    return STATUS_SUCCESS;
}

/* Resolves each component of Path case-insensitively (as the platform's names are). */
bool ResolveNoCase(const std::string &Path, std::string *Resolved) {
    std::string out = Path[0] == '/' ? "/" : "";
    size_t start = Path[0] == '/' ? 1 : 0;
    while (start < Path.size()) {
        size_t end = Path.find('/', start);
        if (end == std::string::npos) {
            end = Path.size();
        }
        std::string component = Path.substr(start, end - start);
        start = end + 1;
        if (component.empty()) {
            continue;
        }
        std::string candidate = out + component;
        struct stat st;
        if (lstat(candidate.c_str(), &st) != 0) {
            DIR *dir = opendir(out.empty() ? "." : out.c_str());
            if (dir == nullptr) {
                return false;
            }
            bool found = false;
            while (struct dirent *entry = readdir(dir)) {
                if (strcasecmp(entry->d_name, component.c_str()) == 0) {
                    candidate = out + entry->d_name;
                    found = true;
                    break;
                }
            }
            closedir(dir);
            if (!found) {
                return false;
            }
        }
        out = candidate;
        if (end < Path.size()) {
            out += "/";
        }
    }
    *Resolved = out;
    return true;
}

NTSTATUS StatusOfErrno(int Error) {
    switch (Error) {
    case ENOENT:
        return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
        return STATUS_ACCESS_DENIED;
    case EEXIST:
        return STATUS_OBJECT_NAME_COLLISION;
    case EISDIR:
        return STATUS_FILE_IS_A_DIRECTORY;
    case ENAMETOOLONG:
        return STATUS_OBJECT_NAME_INVALID;
    case EMFILE:
    case ENFILE:
        return STATUS_TOO_MANY_OPENED_FILES;
    case ENOMEM:
        return STATUS_INSUFFICIENT_RESOURCES;
    case EINVAL:
        return STATUS_INVALID_PARAMETER;
    case EIO:
        return STATUS_DEVICE_DATA_ERROR;
    case ETXTBSY:
    case EBUSY:
        return STATUS_SHARING_VIOLATION;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

void CloseFile(void *Object) {
    auto *file = static_cast<HostFile *>(Object);
    close(file->Fd);
    if (file->BufferedFd >= 0) {
        close(file->BufferedFd);
    }
    delete file;
    gOpenFiles--;
}

std::string NameOf(POBJECT_ATTRIBUTES Attributes) {
    if (Attributes == nullptr || Attributes->ObjectName == nullptr ||
        Attributes->ObjectName->Buffer == nullptr) {
        return std::string();
    }
    return hostio::ToUtf8(Attributes->ObjectName->Buffer,
                          Attributes->ObjectName->Length / sizeof(WCHAR));
}

/*
 * The open of ZwCreateFile and IoCreateFile. Without ForceAccessCheck it is a kernel-mode open,
 * made with the process's identity whatever client the thread impersonates; with it, the host
 * checks the open against the thread's file-system identity (the impersonated client's).
 */
NTSTATUS CreateFile(const char *Routine, bool ForceAccessCheck, PHANDLE FileHandle,
                    ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                    PIO_STATUS_BLOCK IoStatusBlock, ULONG CreateDisposition, ULONG CreateOptions) {
    HostVerifierCheckPassive(Routine);
    if (FileHandle == nullptr || IoStatusBlock == nullptr || ObjectAttributes == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *FileHandle = nullptr;
    auto finish = [&](NTSTATUS status, ULONG_PTR information) {
        IoStatusBlock->Status = status;
        IoStatusBlock->Information = information;
        return status;
    };
    if (ObjectAttributes->RootDirectory != nullptr) {
        return finish(STATUS_INVALID_PARAMETER, 0);
    }
    NTSTATUS injected;
    if (HostFaultShouldFail(HostFaultFileOpen, &injected)) {
        return finish(injected != 0 ? injected : STATUS_OBJECT_NAME_NOT_FOUND, 0);
    }
    std::string path;
    NTSTATUS status = Translate(NameOf(ObjectAttributes), &path);
    if (!NT_SUCCESS(status)) {
        return finish(status, 0);
    }

    int flags = O_CLOEXEC;
    bool write =
        (DesiredAccess & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL)) != 0;
    flags |= write ? O_RDWR : O_RDONLY;
    ULONG information = FILE_OPENED;
    switch (CreateDisposition) {
    case FILE_OPEN:
        break;
    case FILE_CREATE:
        flags |= O_CREAT | O_EXCL;
        information = FILE_CREATED;
        break;
    case FILE_OPEN_IF:
        flags |= O_CREAT;
        break;
    case FILE_OVERWRITE:
        flags |= O_TRUNC;
        information = FILE_OVERWRITTEN;
        break;
    case FILE_OVERWRITE_IF:
    case FILE_SUPERSEDE:
        flags |= O_CREAT | O_TRUNC;
        information = FILE_OVERWRITTEN;
        break;
    default:
        return finish(STATUS_INVALID_PARAMETER, 0);
    }
    if (CreateOptions & FILE_DIRECTORY_FILE) {
        flags |= O_DIRECTORY;
    }
    bool noBuffering = (CreateOptions & FILE_NO_INTERMEDIATE_BUFFERING) != 0;
    bool direct = noBuffering;

    std::unique_ptr<hostio::KernelFileIdentityScope> asKernel;
    if (!ForceAccessCheck) {
        asKernel.reset(new hostio::KernelFileIdentityScope());
    }
    auto open_path = [&](const std::string &p, bool withDirect) {
        return open(p.c_str(), flags | (withDirect ? O_DIRECT : 0), 0644);
    };
    int fd = open_path(path, direct);
    if (fd < 0 && direct && errno == EINVAL) {
        /* The file system refuses unbuffered access: fall back to a buffered open. */
        direct = false;
        fd = open_path(path, false);
    }
    if (fd < 0 && errno == ENOENT && (ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE)) {
        std::string resolved;
        if (ResolveNoCase(path, &resolved) && resolved != path) {
            path = resolved;
            fd = open_path(path, direct);
            if (fd < 0 && direct && errno == EINVAL) {
                direct = false;
                fd = open_path(path, false);
            }
        } else {
            errno = ENOENT;
        }
    }
    if (fd < 0) {
        return finish(StatusOfErrno(errno), 0);
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && (CreateOptions & FILE_NON_DIRECTORY_FILE)) {
        close(fd);
        return finish(STATUS_FILE_IS_A_DIRECTORY, 0);
    }
    auto *file = new HostFile{fd, noBuffering, direct, path, 0, -1};
    gOpenFiles++;
    *FileHandle = HostHandleCreate(HOST_HANDLE_FILE, file, CloseFile);
    return finish(STATUS_SUCCESS, information);
}

} // namespace

extern "C" {

NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                            ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength) {
    UNREFERENCED_PARAMETER(AllocationSize);
    UNREFERENCED_PARAMETER(FileAttributes);
    UNREFERENCED_PARAMETER(ShareAccess);
    UNREFERENCED_PARAMETER(EaBuffer);
    UNREFERENCED_PARAMETER(EaLength);
    return CreateFile("ZwCreateFile", false, FileHandle, DesiredAccess, ObjectAttributes,
                      IoStatusBlock, CreateDisposition, CreateOptions);
}

NTSTATUS NTAPI IoCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                            ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                            CREATE_FILE_TYPE CreateFileType, PVOID InternalParameters,
                            ULONG Options) {
    UNREFERENCED_PARAMETER(AllocationSize);
    UNREFERENCED_PARAMETER(FileAttributes);
    UNREFERENCED_PARAMETER(ShareAccess);
    if (EaBuffer != nullptr || EaLength != 0 || CreateFileType != CreateFileTypeNone ||
        InternalParameters != nullptr) {
        /* What the routine's reference requires of a driver. */
        HostVerifierStop("IoCreateFile: a driver passes no extended attributes, no file type and "
                         "no internal parameters");
    }
    return CreateFile("IoCreateFile", (Options & IO_FORCE_ACCESS_CHECK) != 0, FileHandle,
                      DesiredAccess, ObjectAttributes, IoStatusBlock, Disposition, CreateOptions);
}

NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                          PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                          ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key) {
    UNREFERENCED_PARAMETER(Event);
    UNREFERENCED_PARAMETER(ApcRoutine);
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(Key);
    HostVerifierCheckPassive("ZwReadFile");
    auto *file = static_cast<HostFile *>(HostHandleObject(FileHandle, HOST_HANDLE_FILE));
    if (file == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (IoStatusBlock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto finish = [&](NTSTATUS status, ULONG_PTR information) {
        IoStatusBlock->Status = status;
        IoStatusBlock->Information = information;
        return status;
    };
    LONGLONG offset = file->Position;
    if (ByteOffset != nullptr && !(ByteOffset->HighPart == -1 &&
                                   ByteOffset->LowPart == 0xFFFFFFFEu /* use file position */)) {
        offset = ByteOffset->QuadPart;
    }
    if (offset < 0) {
        return finish(STATUS_INVALID_PARAMETER, 0);
    }
    if (file->NoBuffering &&
        ((offset % 512) != 0 || (Length % 512) != 0 || ((ULONG_PTR)Buffer % 512) != 0)) {
        return finish(STATUS_INVALID_PARAMETER, 0);
    }
    NTSTATUS injected;
    if (HostFaultShouldFail(HostFaultFileRead, &injected)) {
        return finish(injected != 0 ? injected : STATUS_DEVICE_DATA_ERROR, 0);
    }
    struct stat st;
    if (fstat(file->Fd, &st) != 0) {
        return finish(StatusOfErrno(errno), 0);
    }
    if (S_ISDIR(st.st_mode)) {
        return finish(STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    if (Length == 0) {
        return finish(STATUS_SUCCESS, 0);
    }
    if (offset >= (LONGLONG)st.st_size) {
        return finish(STATUS_END_OF_FILE, 0);
    }
    ULONG done = 0;
    while (done < Length) {
        int fd = file->BufferedFd >= 0 ? file->BufferedFd : file->Fd;
        ssize_t n =
            pread(fd, static_cast<char *>(Buffer) + done, Length - done, (off_t)(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EINVAL && file->Direct && file->BufferedFd < 0) {
                /* The host wants a coarser alignment than the platform's 512-byte sectors:
                 * go on through the page cache. */
                file->BufferedFd = open(file->Path.c_str(), O_RDONLY | O_CLOEXEC);
                if (file->BufferedFd >= 0) {
                    continue;
                }
            }
            return finish(StatusOfErrno(errno), 0);
        }
        if (n == 0) {
            break;
        }
        done += (ULONG)n;
    }
    file->Position = offset + done;
    LONGLONG delay = gReadDelay.load();
    if (delay > 0) {
        LARGE_INTEGER interval;
        interval.QuadPart = -delay;
        (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    return finish(STATUS_SUCCESS, done);
}

void HostSetFileReadDelay(LONGLONG Delay) {
    gReadDelay.store(Delay > 0 ? Delay : 0);
}

} // extern "C"

void HostMapDriveLetter(char Letter, const char *HostDirectory) {
    std::lock_guard<std::mutex> guard(gFileLock);
    gDrives[(char)toupper((unsigned char)Letter)] = HostDirectory != nullptr ? HostDirectory : "";
}

void HostUnmapDriveLetter(char Letter) {
    std::lock_guard<std::mutex> guard(gFileLock);
    gDrives.erase((char)toupper((unsigned char)Letter));
}

void HostClearDriveLetters(void) {
    std::lock_guard<std::mutex> guard(gFileLock);
    gDrives.clear();
}

NTSTATUS HostTranslateObjectName(PCUNICODE_STRING Name, char *Path, size_t PathSize) {
    if (Name == nullptr || Name->Buffer == nullptr) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::string path;
    NTSTATUS status = Translate(hostio::ToUtf8(Name->Buffer, Name->Length / sizeof(WCHAR)), &path);
    if (NT_SUCCESS(status) && Path != nullptr && PathSize > 0) {
        snprintf(Path, PathSize, "%s", path.c_str());
    }
    return status;
}

BOOLEAN HostFileIsUnbuffered(HANDLE FileHandle) {
    auto *file = static_cast<HostFile *>(HostHandleObject(FileHandle, HOST_HANDLE_FILE));
    return file != nullptr && file->Direct;
}

LONG HostOpenFileCount(void) {
    return (LONG)gOpenFiles.load();
}
