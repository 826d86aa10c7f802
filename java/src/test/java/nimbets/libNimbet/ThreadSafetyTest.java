// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.Arrays;

import org.junit.jupiter.api.Test;

/**
 * Threads on the binding, each in a JVM of its own (see {@link ThreadStressMain}): a crash of the
 * process fails the test through the exit status rather than ending the whole run.
 */
class ThreadSafetyTest extends NativeTestSupport {
    @Test
    void fourThreadsOnTheirOwnObjectsNeverAbortNorSeeAnotherThreadsFailure() throws Exception {
        String out = stdoutOf(ThreadStressMain.class, "stress", "3");
        System.out.print(out);
        assertEquals(4, Arrays.stream(out.split("\n")).filter(l -> l.matches("worker \\d: rounds [1-9]\\d*, own failures raised \\d+")).count(), out);
    }

    @Test
    void closingASocketWakesAReceiveWaitingInAnotherThread() throws Exception {
        System.out.print(stdoutOf(ThreadStressMain.class, "close-under-receive"));
    }
}
