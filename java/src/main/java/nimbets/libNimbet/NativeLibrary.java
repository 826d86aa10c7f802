// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.Locale;

/**
 * Loads the {@code nimbetJava} module once for the whole package.
 *
 * <p>The module is looked for on {@code java.library.path} first, so a module installed there, or
 * named with {@code -Djava.library.path}, always wins. When none is found there, the copy that
 * the jar carries for this platform (under {@code nimbets/libNimbet/native/<os>-<arch>/}) is
 * written to a file in a temporary directory that only this user can read, loaded from there,
 * and deleted at once: the system keeps a loaded module mapped after its file is gone.
 */
final class NativeLibrary {
    static final String NAME = "nimbetJava";

    private NativeLibrary() {
    }

    /** Loads the module; an {@link UnsatisfiedLinkError} naming both places tried when neither has it. */
    static void load() {
        try {
            System.loadLibrary(NAME);
        } catch (UnsatisfiedLinkError notOnPath) {
            try {
                loadFromJar();
            } catch (UnsatisfiedLinkError | IOException fromJar) {
                UnsatisfiedLinkError error = new UnsatisfiedLinkError(
                        NAME + " is neither on java.library.path nor loadable from the jar: " + fromJar.getMessage());
                error.addSuppressed(notOnPath);
                throw error;
            }
        }
    }

    /** The resource directory name of this platform: linux-x86_64, linux-aarch64, ... */
    static String platform() {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT).replaceAll("\\s+", "");
        String arch = System.getProperty("os.arch", "").toLowerCase(Locale.ROOT);
        if (arch.equals("amd64") || arch.equals("x86-64")) {
            arch = "x86_64";
        } else if (arch.equals("arm64")) {
            arch = "aarch64";
        }
        return os + "-" + arch;
    }

    private static void loadFromJar() throws IOException {
        String file = System.mapLibraryName(NAME);
        String resource = "native/" + platform() + "/" + file;
        try (InputStream in = NativeLibrary.class.getResourceAsStream(resource)) {
            if (in == null) {
                throw new UnsatisfiedLinkError("the jar carries no module for " + platform());
            }
            Path dir = Files.createTempDirectory("nimbet",
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            Path module = dir.resolve(file);
            try {
                Files.copy(in, module);
                System.load(module.toAbsolutePath().toString());
            } finally {
                Files.deleteIfExists(module);
                Files.deleteIfExists(dir);
            }
        }
    }
}
