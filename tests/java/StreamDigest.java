import java.nio.file.Path;
import java.security.MessageDigest;
import org.kelvo.Kelvo4.Decoder.KelvoStreamReader;

// Plays a stream file through the reader on two decoder threads, frames alternately as bytes and as
// packed pixels, and prints the frame count and the SHA-256 of all frames as rgb24: what
// `kelvo-decode STREAM - | sha256sum` gives. scripts/cross.sh runs it on the VM of every platform
// the jar carries, with only Kelvo4.jar on the class path.
public final class StreamDigest {
  public static void main(String[] args) throws Exception {
    MessageDigest sha = MessageDigest.getInstance("SHA-256");
    int frames = 0;
    try (KelvoStreamReader reader = new KelvoStreamReader(Path.of(args[0]), 2)) {
      byte[] rgb = new byte[3 * reader.width() * reader.height()];
      int[] argb = new int[reader.width() * reader.height()];
      while (frames % 2 == 0 ? reader.next(rgb) : reader.next(argb)) {
        if (frames % 2 == 1) {
          for (int i = 0; i < rgb.length; i++) rgb[i] = (byte) (argb[i / 3] >> (16 - 8 * (i % 3)));
        }
        sha.update(rgb);
        frames++;
      }
    }
    StringBuilder hex = new StringBuilder();
    for (byte b : sha.digest()) hex.append(String.format("%02x", b));
    System.out.println(frames + " " + hex);
  }
}
