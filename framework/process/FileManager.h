// The product's hidden root folder and the folders and empty files made on demand inside it.
// Every call checks the disk again, so an item removed while the process runs is remade.
#pragma once

#include <optional>
#include <string>

namespace calix {

class FileManager {
  public:
    static FileManager& sharedInstance();

    // <users folder>/.AllUsers/RavAviza, then RavAviza.EXE$ below it, each made when missing.
    // Returns the product root whether or not making it succeeded.
    std::string createAppRootDirectory();
    std::string createAppUpgradeRootDirectory();  // <product root>/AppUpgrade
    std::string createAppPolicyRootDirectory();   // <product root>/Policy

    // rootDirectory with name appended as a path component, made with its intermediate folders
    // when nothing exists there (an existing file of that name is accepted as it is).
    std::string createDirectoryWithName(const std::string& name, const std::string& rootDirectory);

    // Makes an empty file when nothing exists at path; an existing item is left untouched.
    // Returns path, or nothing when the file could not be made.
    std::optional<std::string> createFilePath(const std::string& path);

    // directory + "/" + name joined as plain text, then createFilePath.
    std::optional<std::string> createFilePathWithFileName(const std::string& name,
                                                          const std::string& directory);

  private:
    FileManager() = default;
};

}  // namespace calix
