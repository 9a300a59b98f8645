import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.security.MessageDigest;
import org.kelvo.Kelvo4.Decoder.KelvoDecoder;

// An application of the old library: decodes a stream file whose payloads are stored raw
// (kelvo-encode --level 0) through its own KelvoDecoder and prints the frame count and the SHA-256
// of all frames as rgb24, as `kelvo-decode STREAM - | sha256sum` gives them, then the VM it ran on.
public final class LegacyDigest {
  public static void main(String[] args) throws Exception {
    ByteBuffer in = ByteBuffer.wrap(Files.readAllBytes(Paths.get(args[0]))).order(ByteOrder.LITTLE_ENDIAN);
    if (in.getInt(0) != 0x34564c4b || (in.getInt(4) != 2 && in.getInt(4) != 3)) throw new IllegalArgumentException("not a KLV4 version 2 or 3 file");
    int width = in.getInt(8);
    int height = in.getInt(12);
    int codedWidth = in.getInt(16);
    int codedHeight = in.getInt(20);
    int count = in.getInt(32);
    int n = codedWidth * codedHeight;
    byte[] payload = new byte[n + n / 2];
    byte[] rgb = new byte[3 * n];
    float[] table = new float[64];
    KelvoDecoder decoder = new KelvoDecoder();
    MessageDigest sha = MessageDigest.getInstance("SHA-256");
    in.position(48);  // the frame records
    for (int frame = 0; frame < count; frame++) {
      int flags = in.getInt() & 0xff;  // then three reserved bytes
      int size = in.getInt();
      if ((flags & 1) != 0) decoder.reinitDLL(codedWidth, codedHeight);  // a key frame
      if ((flags & 2) != 0) {
        for (int i = 0; i < 64; i++) table[i] = in.getFloat();
        decoder.setQuantizationTable(table);
      }
      if ((flags & 12) != 0 || size != payload.length) throw new IllegalArgumentException("frame " + frame + " not stored raw");
      in.get(payload);
      decoder.decodeFrame(payload, rgb, true);
      for (int y = 0; y < height; y++) sha.update(rgb, 3 * codedWidth * y, 3 * width);  // cropped
    }
    StringBuilder hex = new StringBuilder();
    for (byte b : sha.digest()) hex.append(String.format("%02x", b));
    System.out.println(count + " " + hex);
    System.out.println(System.getProperty("os.arch") + ", Java " + System.getProperty("java.version"));
  }
}
