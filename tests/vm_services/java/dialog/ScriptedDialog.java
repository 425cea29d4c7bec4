// A stand-in for the message-box dialog program: connects to the pipe named by its only
// argument, reads request lines and answers each from a script, and ends on "shutdown".
//
// Environment:
//   ZEK_TEST_DIALOG_SCRIPT  file with one answer per line, sent as it stands with every
//                           two-character "\n" turned into a line break; the line "<close>"
//                           closes the pipe without answering and ends the dialog. Requests
//                           beyond the script are answered "0\n".
//   ZEK_TEST_DIALOG_LOG     file the dialog appends to: "args <argument>..." once, then
//                           "request <line>" for every request (the line keeps its bytes and
//                           its newline), "shutdown" on the shutdown line and "ended" 200 ms
//                           later, just before the dialog ends; "end of stream" when the
//                           pipe closes first.
import java.io.ByteArrayOutputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.net.UnixDomainSocketAddress;
import java.nio.ByteBuffer;
import java.nio.channels.SocketChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

public final class ScriptedDialog {
    private static final long END_DELAY_MS = 200;
    private static final byte[] SHUTDOWN = "shutdown\n".getBytes(StandardCharsets.ISO_8859_1);

    public static void main(String[] args) throws IOException {
        String script = System.getenv("ZEK_TEST_DIALOG_SCRIPT");
        List<String> answers = script == null ? new ArrayList<>()
                                              : Files.readAllLines(Path.of(script), StandardCharsets.ISO_8859_1);
        try (FileOutputStream log = new FileOutputStream(System.getenv("ZEK_TEST_DIALOG_LOG"), true);
             SocketChannel pipe = SocketChannel.open(UnixDomainSocketAddress.of(args[0]))) {
            write(log, "args " + String.join(" ", args) + "\n");
            int next = 0;
            ByteArrayOutputStream line = new ByteArrayOutputStream();
            ByteBuffer buffer = ByteBuffer.allocate(65536);
            while (pipe.read(buffer) > 0) {
                buffer.flip();
                while (buffer.hasRemaining()) {
                    byte b = buffer.get();
                    line.write(b);
                    if (b != '\n')
                        continue;
                    byte[] request = line.toByteArray();
                    line.reset();
                    if (java.util.Arrays.equals(request, SHUTDOWN)) {
                        // Ends by itself, but only after a while: the host is to wait for that.
                        write(log, "shutdown\n");
                        sleep(END_DELAY_MS);
                        write(log, "ended\n");
                        return;
                    }
                    log.write("request ".getBytes(StandardCharsets.ISO_8859_1));
                    log.write(request);
                    String answer = next < answers.size() ? answers.get(next++) : "0\\n";
                    if (answer.equals("<close>"))
                        return;
                    byte[] bytes = answer.replace("\\n", "\n").getBytes(StandardCharsets.ISO_8859_1);
                    pipe.write(ByteBuffer.wrap(bytes));
                }
                buffer.clear();
            }
            write(log, "end of stream\n");
        }
    }

    private static void sleep(long ms) {
        try {
            Thread.sleep(ms);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
        }
    }

    private static void write(FileOutputStream log, String text) throws IOException {
        log.write(text.getBytes(StandardCharsets.ISO_8859_1));
    }
}
