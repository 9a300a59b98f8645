package org.kelvo.Kelvo4.Decoder;

// The class as an application built for the old libKelvo4.so carries it: it loads the library by
// name from java.library.path and declares the three natives.
public class KelvoDecoder {
  static {
    System.loadLibrary("Kelvo4");
  }

  public native void reinitDLL(int width, int height);

  public native void setQuantizationTable(float[] table);

  public native void decodeFrame(byte[] payload, byte[] output, boolean convert);
}
