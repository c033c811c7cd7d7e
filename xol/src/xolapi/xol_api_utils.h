// Byte units that carry files, caller buffers and device bytes through the protocol, and the
// lookup of a named module in a firmware image's module directory.
#ifndef XOL_API_UTILS_H
#define XOL_API_UTILS_H

#include <cstddef>
#include <istream>
#include <memory>
#include <sstream>
#include <string>

// What upload commands read a unit's bytes through. Units are destroyed by their concrete type.
class IBlob {
public:
    virtual std::stringbuf* getStreamBufferPtr() = 0;

protected:
    ~IBlob() = default;
};

// An owned in-memory byte buffer; movable, not copyable. A default unit has no buffer.
class Blob : public IBlob {
public:
    Blob();
    explicit Blob(std::unique_ptr<std::stringbuf>& buffer);
    Blob(Blob&& other) noexcept;
    explicit Blob(std::string const& path);
    Blob(char const* data, size_t length);
    Blob& operator=(Blob&& other) noexcept;
    Blob(Blob const&) = delete;
    Blob& operator=(Blob const&) = delete;
    ~Blob();

    std::stringbuf* getStreamBufferPtr() override;

    // Writes the whole content to a file, replacing it only once all is written (OutputFile).
    void write(std::string const& path) const;
    // Copies the whole content when it fits in *length bytes (0), else copies nothing (-1);
    // *length becomes the unit's size either way.
    int write(char* buffer, size_t* length) const;

private:
    std::unique_ptr<std::stringbuf> buffer;
};

class Token : public Blob {
public:
    Token() = default;
    explicit Token(std::unique_ptr<std::stringbuf>& buffer) : Blob(buffer) {}
    Token(Token&& other) noexcept = default;
    explicit Token(std::string const& path) : Blob(path) {}
    Token(char const* data, size_t length) : Blob(data, length) {}
};

class OemIfpBlock : public Blob {
public:
    OemIfpBlock() = default;
    OemIfpBlock(OemIfpBlock&& other) noexcept = default;
    explicit OemIfpBlock(std::string const& path) : Blob(path) {}
    OemIfpBlock(char const* data, size_t length) : Blob(data, length) {}
};

// Card information as the device returned it.
class DeviceInfo : public Blob {
public:
    DeviceInfo() = default;
    explicit DeviceInfo(std::unique_ptr<std::stringbuf>& buffer) : Blob(buffer) {}
    DeviceInfo(DeviceInfo&& other) noexcept = default;
    explicit DeviceInfo(std::string const& path) : Blob(path) {}
    DeviceInfo(char const* data, size_t length) : Blob(data, length) {}
};

// The directory entry of one named module at the head of an image stream. Construction fails
// unless the module is found, so an object always describes a module.
class ModuleMeta {
public:
    ModuleMeta(std::istream* image, char const* name);

    size_t getPartitionSize() const { return partitionSize; }
    size_t getModuleOffset() const { return moduleOffset; }
    size_t getModuleSize() const { return moduleSize; }
    // Everything in the stream that is not the module.
    size_t getHeaderSize() const { return partitionSize - moduleSize; }

private:
    [[maybe_unused]] std::istream* image; // the stream the directory was read from
    size_t partitionSize;
    size_t moduleOffset;
    size_t moduleSize;
};

#endif
