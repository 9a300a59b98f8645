import java.nio.file.Path;
import org.kelvo.Kelvo4.Decoder.KelvoStreamReader;

/** Counts the frames of a stream file by decoding them. */
public class Count {
  public static void main(String[] args) throws Exception {
    try (KelvoStreamReader reader = new KelvoStreamReader(Path.of(args[0]))) {
      int frames = 0;
      while (reader.nextImage() != null) frames++;
      System.out.println(frames + " frames");
    }
  }
}
