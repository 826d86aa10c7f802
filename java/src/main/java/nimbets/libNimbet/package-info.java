// SPDX-License-Identifier: MIT
/**
 * The Java binding of libnimbet: frames, tuples, sockets, filters and
 * fragmented transfers for networks of small sensor nodes that exchange short
 * frames over UDP.
 *
 * <p>{@link nimbets.libNimbet.NimbetSocket} sends and receives
 * {@link nimbets.libNimbet.NimbetPacket}s, each a list of
 * {@link nimbets.libNimbet.NimbetTuple}s with the header fields of a frame
 * (the sender's {@link nimbets.libNimbet.NimbetSrcId} and
 * {@link nimbets.libNimbet.NimbetLocation}, a sequence number). A socket
 * addresses frames to one node and has them acknowledged
 * ({@code sendAcked}), selects received frames with a
 * {@link nimbets.libNimbet.NimbetFilter}, and moves buffers and files as
 * fragmented, acknowledged transfers ({@code sendBuffer}, {@code sendFile},
 * followed through {@link nimbets.libNimbet.NimbetTransfer}).
 * {@link nimbets.libNimbet.NimbetUtil} computes the frame CRC-16 and converts
 * tuple types to their 2-byte codes.
 *
 * <p>Every object owns a native record and is {@link java.lang.AutoCloseable}:
 * use try-with-resources. The classes load the module {@code nimbetJava}
 * from {@code java.library.path} when it is there, else the copy that the jar
 * carries, if any. A failure of the library raises an exception whose message
 * reads {@code c errno: <number> <text>.}: 22 gives
 * {@link java.lang.IllegalArgumentException}, 9 and 16
 * {@link java.lang.RuntimeException}, 12 {@link java.lang.OutOfMemoryError},
 * every other number {@link java.lang.UnknownError}.
 *
 * <p>{@link nimbets.libNimbet.libnimbetJNI} declares the native methods that
 * these classes call; applications use the classes.
 */
package nimbets.libNimbet;
