// SPDX-License-Identifier: MIT
package nimbets.libNimbet;

import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;

/**
 * Runs threads on the binding in a JVM of its own, so that a crash shows as an exit status
 * instead of ending the test run. Prints one line per check; exits 0 when every check held.
 *
 * <ul>
 * <li>{@code stress SECONDS}: four threads, each with its own socket (its own port, frames sent to
 * itself), packets, tuples, filters, identifiers and locations, and failures of its own that must
 * reach it, and only it, with its own message. Some objects are left to the cleaner.
 * <li>{@code close-under-receive}: one thread waits in a bounded receive while another closes the
 * socket; the waiting thread must come back (null, or the closed socket's error) well before its
 * time runs out.
 * </ul>
 */
final class ThreadStressMain {
    private static final int PORT = 47500;
    private static final String INVALID = "c errno: 22 Invalid argument.";
    private static final String NOT_FOUND = "c errno: 225 Unknown error 225.";

    private ThreadStressMain() {
    }

    public static void main(String[] args) throws Exception {
        boolean ok = args[0].equals("stress") ? stress(Integer.parseInt(args[1])) : closeUnderReceive();
        System.out.flush();
        System.exit(ok ? 0 : 1);
    }

    private static boolean stress(int seconds) throws InterruptedException {
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(seconds);
        List<Worker> workers = new ArrayList<>();
        for (int n = 1; n <= 4; n++) {
            workers.add(new Worker(n, end));
        }
        workers.forEach(Thread::start);
        boolean ok = true;
        for (Worker w : workers) {
            w.join(TimeUnit.SECONDS.toMillis(seconds + 120L));
            Throwable foreign = w.foreign.get();
            System.out.println("worker " + w.n + ": rounds " + w.rounds + ", own failures raised " + w.raised
                    + (w.isAlive() ? ", still running" : "") + (foreign != null ? ", foreign " + foreign : ""));
            if (foreign != null) {
                foreign.printStackTrace();
            }
            ok &= foreign == null && !w.isAlive() && w.rounds > 0;
        }
        return ok;
    }

    private static boolean closeUnderReceive() throws InterruptedException {
        AtomicReference<Object> outcome = new AtomicReference<>();
        try (NimbetSocket s = new NimbetSocket(PORT, "127.0.0.1", "127.0.0.1")) {
            s.setOptions(NimbetSocket.SOCKET_BLOCKING, false);
            try (NimbetPacket none = s.receive()) {
                // binds the socket
            }
            Thread waiter = new Thread(() -> {
                try {
                    outcome.set(String.valueOf(s.receive(60_000)));
                } catch (RuntimeException e) {
                    outcome.set(e);
                }
            });
            waiter.start();
            Thread.sleep(200);  // lets the waiter reach its wait; closing earlier is refused instead
            long closed = System.nanoTime();
            s.close();
            waiter.join(30_000);
            System.out.println("waiter came back after " + TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - closed)
                    + " ms with " + outcome.get() + (waiter.isAlive() ? " (still waiting)" : ""));
            Object o = outcome.get();
            return !waiter.isAlive() && ("null".equals(o) || o instanceof IllegalStateException
                    || o instanceof RuntimeException && ((RuntimeException) o).getMessage().startsWith("c errno: 9 "));
        }
    }

    /** One thread on objects of its own. */
    private static final class Worker extends Thread {
        final int n;
        final long end;
        final AtomicReference<Throwable> foreign = new AtomicReference<>();
        volatile long rounds;
        volatile long raised;

        Worker(int n, long end) {
            super("worker " + n);
            this.n = n;
            this.end = end;
        }

        @Override
        public void run() {
            try {
                // A failure of its own first, then classes whose constants may be read for the first time.
                expectRaised(IllegalArgumentException.class, INVALID, () -> new NimbetSrcId(new short[7]));
                try (NimbetSrcId id = new NimbetSrcId("1.1.1.1.10.0.1." + n);
                        NimbetSocket s = new NimbetSocket(PORT + n, "127.0.0.1", "127.0.0.1")) {
                    s.setId(id);
                    s.setOptions(NimbetSocket.SOCKET_BLOCKING, false);
                    try (NimbetPacket none = s.receive()) {
                        // binds the socket
                    }
                    while (System.nanoTime() - end < 0) {
                        round(s, id);
                        rounds++;
                    }
                }
            } catch (Throwable t) {
                foreign.compareAndSet(null, t);
            }
        }

        private void round(NimbetSocket s, NimbetSrcId id) {
            long r = rounds;
            byte[] data = {(byte) n, (byte) r, (byte) (r >> 8)};
            String text = n + " " + (r & 0xff) + " " + ((r >> 8) & 0xff);
            NimbetPacket p = new NimbetPacket();
            try (NimbetTuple extra = new NimbetTuple("ext", data); NimbetTuple missing = new NimbetTuple("mis");
                    NimbetFilter f = new NimbetFilter("worker " + n); NimbetTuple want = new NimbetTuple("tmp");
                    NimbetLocation loc = new NimbetLocation(new short[NimbetLocation.LENGTH])) {
                p.aclAdd("tmp", data);
                p.add(extra);
                p.setSeq((int) r);
                check(p.toString(), "NimbetPacket[0.0.0.0.0.0.0.0 #" + (r & 0xff) + " tmp:" + text + "; ext:" + text + "]");
                // Failures of its own, each raised here with its own message.
                expectRaised(UnknownError.class, NOT_FOUND, () -> p.remove(missing));
                expectRaised(IllegalArgumentException.class, INVALID, () -> loc.getNode(5));
                check(p.findFirstAcl("zzz"), null);  // "not found" raises nothing
                f.add(NimbetFilter.FILTER_CONCAT_AND, want);
                check(f.apply(p), true);
                loc.getX();
                check(loc.getNode(1).length(), 9);
                check(id.toString(), "1.1.1.1.10.0.1." + n);
                if (r % 8 == 0) {
                    s.send(p);
                    try (NimbetPacket back = s.receive(10_000)) {
                        check(back == null ? null : back.toString(), p.toString().replace("0.0.0.0.0.0.0.0", id.toString()));
                    }
                    s.getStats();
                }
            } finally {
                if (r % 4 == 0) {
                    new NimbetTuple("cln", data);  // left to the cleaner, with its packet
                } else {
                    p.close();
                }
            }
        }

        private void expectRaised(Class<? extends Throwable> type, String message, Runnable call) {
            try {
                call.run();
            } catch (Throwable t) {
                if (t.getClass() != type || !message.equals(t.getMessage())) {
                    throw new AssertionError("expected " + type.getSimpleName() + " " + message + ", got " + t, t);
                }
                raised++;
                return;
            }
            throw new AssertionError("expected " + type.getSimpleName() + " " + message + ", nothing raised");
        }

        private static void check(Object got, Object expected) {
            if (got == null ? expected != null : !got.equals(expected)) {
                throw new AssertionError("expected " + expected + ", got " + got);
            }
        }
    }
}
